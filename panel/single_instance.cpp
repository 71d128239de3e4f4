#include "panel/single_instance.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTimer>
#include <QtEndian>

namespace
{
constexpr char kAck = 0x06;

QString userName()
{
    for (const char *variable : {"USER", "USERNAME", "LOGNAME"})
        if (const QString name = qEnvironmentVariable(variable); !name.isEmpty())
            return name;
    return "user";
}
} // namespace

// ---- Frames

QByteArray MessageFrameDecoder::encode(const QString &message)
{
    const QByteArray utf8 = message.toUtf8();
    QByteArray frame(4, 0);
    qToBigEndian<quint32>(quint32(utf8.size()), frame.data());
    return frame + utf8;
}

bool MessageFrameDecoder::feed(const QByteArray &bytes, QStringList *out)
{
    if (m_malformed)
        return false;
    m_pending += bytes;
    while (m_pending.size() >= 4)
    {
        const quint32 length = qFromBigEndian<quint32>(m_pending.constData());
        if (length > kMaxFrameBytes)
        {
            m_malformed = true;
            m_pending.clear();
            return false;
        }
        if (quint32(m_pending.size()) - 4 < length)
            break;
        QTextCodec::ConverterState state;
        const QString text =
            QTextCodec::codecForName("UTF-8")->toUnicode(m_pending.constData() + 4, int(length), &state);
        if (state.invalidChars > 0 || state.remainingChars > 0)
        {
            m_malformed = true;
            m_pending.clear();
            return false;
        }
        out->append(text);
        m_pending.remove(0, int(4 + length));
    }
    return true;
}

// ---- The instance

SingleInstance::SingleInstance(const QString &appId, QObject *parent, const QString &lockFolder)
    : QObject(parent), m_id(appId)
{
    // One instance per user: the key joins both, hashed so any name makes a valid socket name.
    const QByteArray hash =
        QCryptographicHash::hash((appId + '\n' + userName()).toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    m_key = appId.left(32).replace(QRegExp("[^A-Za-z0-9_-]"), "_") + "-" + QString::fromLatin1(hash);
    QString folder =
        lockFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : lockFolder;
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    m_lock = std::make_unique<QLockFile>(QDir(folder).filePath(m_key + ".lock"));
    // A lock whose process is gone is taken over; a live one is never stale by age.
    m_lock->setStaleLockTime(0);
    m_first = m_lock->tryLock(0);
    if (!m_first)
        return;
    m_server = new QLocalServer(this);
    // A socket left by an instance that died would make listen fail.
    QLocalServer::removeServer(m_key);
    if (!m_server->listen(m_key))
        qWarning().noquote() << "single instance: cannot listen on" << m_key << m_server->errorString();
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    if (m_first)
        m_lock->unlock();
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection())
    {
        auto decoder = std::make_shared<MessageFrameDecoder>();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this,
                [this, socket, decoder]
                {
                    QStringList messages;
                    const bool ok = decoder->feed(socket->readAll(), &messages);
                    for (const QString &message : messages)
                    {
                        socket->write(&kAck, 1);
                        emit messageReceived(message);
                    }
                    if (!ok)
                    {
                        qWarning() << "single instance: malformed message dropped";
                        socket->abort();
                    }
                });
    }
}

bool SingleInstance::sendMessage(const QString &message, int timeout)
{
    if (m_first)
        return false;
    QLocalSocket socket;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool acknowledged = false;
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::connected, &loop,
            [&] { socket.write(MessageFrameDecoder::encode(message)); });
    connect(&socket, &QLocalSocket::readyRead, &loop,
            [&]
            {
                acknowledged = socket.read(1) == QByteArray(1, kAck);
                loop.quit();
            });
    connect(&socket, &QLocalSocket::errorOccurred, &loop, &QEventLoop::quit);
    // The events run meanwhile, so a first instance in this same process answers too.
    timer.start(timeout);
    socket.connectToServer(m_key);
    if (socket.state() != QLocalSocket::UnconnectedState)
        loop.exec();
    return acknowledged;
}
