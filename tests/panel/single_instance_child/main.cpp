// The single-instance tests' other process, small so that sixteen start at once in no time:
//   single_instance_child <app id> <lock folder>
// prints "first" or "second", then each message it receives, until its standard input closes.
#include "panel/single_instance.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    SingleInstance instance(argv[1], nullptr, argv[2]);
    QTextStream out(stdout);
    out.setCodec("UTF-8");
    out << (instance.isRunning() ? "second" : "first") << Qt::endl;
    QObject::connect(&instance, &SingleInstance::messageReceived,
                     [&](const QString &m) { out << m << Qt::endl; });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated,
                     [&]
                     {
                         char buffer[256];
                         if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
                             QCoreApplication::quit();
                     });
    return QCoreApplication::exec();
}
