// The production scene's states, grabbed in process and checked for content (never against
// reference images): each holds more than 16 colours and differs from every other in more than 1%
// of its pixels. The PNGs stay under the build folder for a look.
#include "view_fixture.h"

#include <QDir>
#include <QImage>
#include <QQuickItem>
#include <QSet>

namespace
{
int colours(const QImage &image)
{
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            seen.insert(image.pixel(x, y));
    return seen.size();
}

double differing(const QImage &a, const QImage &b)
{
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return double(n) / (a.width() * a.height());
}
} // namespace

TEST_F(ViewTest, TheScenesStatesLookDifferent)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    for (const QQmlError &error : view().errors())
        ADD_FAILURE() << error.toString().toStdString();
    ASSERT_NE(scene(), nullptr);
    host->show(); // a hidden view renders nothing
    const QString folder = QString(PANEL_SHOTS_DIR);
    QDir().mkpath(folder);
    std::vector<std::pair<QString, QImage>> shots;
    auto grab = [&](const QString &state)
    {
        QCoreApplication::processEvents();
        const QImage image = view().grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        image.save(folder + "/" + state + ".png");
        shots.emplace_back(state, image);
    };

    grab("no-device");
    rig->hid->setConnectionBits(0x3F);
    QMetaObject::invokeMethod(scene(), "initUI");
    grab("headset");
    for (const char *page : {"mouse", "keyboard", "mousepad", "accessory"})
    {
        QObject *button = control(scene(), QString("select_") + page);
        ASSERT_NE(button, nullptr) << page;
        QMetaObject::invokeMethod(button, "clicked");
        grab(page);
    }
    view().setBusy(100000);
    grab("busy");

    for (const auto &[state, image] : shots)
    {
        EXPECT_EQ(image.size(), QSize(900, 600)) << state.toStdString();
        EXPECT_GT(colours(image), 16) << state.toStdString();
    }
    for (size_t i = 0; i < shots.size(); ++i)
        for (size_t j = i + 1; j < shots.size(); ++j)
            EXPECT_GT(differing(shots[i].second, shots[j].second), 0.01)
                << shots[i].first.toStdString() << " and " << shots[j].first.toStdString();
}
