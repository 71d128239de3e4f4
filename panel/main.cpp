// devpanel: one instance per user, in its own folder, with its tray icon, its window and the hooks
// that let the macro recorder see keys and clicks.
#include "panel/device/hid_transport_factory.h"
#include "panel/input_hooks.h"
#include "panel/single_instance.h"
#include "panel/widget.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
// Qt Quick frees its paint-order lists with free() after allocating them with operator new: the
// library's own mismatch, which would stop every sanitized run that shows a scene.
extern "C" const char *__asan_default_options()
{
    return "alloc_dealloc_mismatch=0";
}
#endif

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The toolkit has taken its own options; devpanel has none.
    if (app.arguments().size() > 1)
    {
        std::fprintf(stderr, "usage: devpanel\n"
                             "  The headset control panel; it takes no options. A second start shows the\n"
                             "  running panel's window.\n");
        return 2;
    }
    SingleInstance instance("devpanel");
    if (instance.isRunning())
    {
        instance.sendMessage("", 5000);
        return 1;
    }
    // Every path of the panel is relative to its own folder.
    const QString program = QCoreApplication::applicationFilePath();
    QDir::setCurrent(program.left(program.lastIndexOf('/')));

    const std::unique_ptr<HidTransport> transport = makeHidTransport();
    auto *widget = new Widget(*transport);
    QObject::connect(&instance, &SingleInstance::messageReceived, widget, &Widget::receiveMessage);
    InputHooks hooks(0);
    if (hooks.keyboardHook() == nullptr)
        qWarning() << "input hooks unavailable: the macro recorder sees no keys";
    hooks.setKeyboardCallback(&Widget::onKeyboard, widget);
    hooks.setMouseCallback(&Widget::onMouse, widget);
    hooks.setCopyDataFilter(&Widget::onCopyData, &app, widget);
    widget->showNormal();
    widget->checkDevice();
    widget->hid().startPollingUSBVendorCmd();
    const int result = QApplication::exec();
    hooks.removeHooks();
    delete widget;
    return result;
}
