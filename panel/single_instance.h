// Keeps devpanel to one instance per user: the first instance holds a lock file and listens on a
// local socket; a later one finds the lock, hands its message to the first and exits.
//
// Wire format: each message is a 4-byte big-endian length, then that many bytes of UTF-8 (an empty
// message is valid); the first instance answers every message with one byte, 0x06. A frame over
// 64 KiB or a payload that is not UTF-8 ends the connection; other connections are not held up.
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;

// Splits a byte stream into messages. Pure: no sockets, no time.
class MessageFrameDecoder
{
public:
    static constexpr quint32 kMaxFrameBytes = 64 * 1024;

    // Appends bytes and moves every complete message to out. False once the stream is malformed
    // (oversized length or bad UTF-8); nothing further is decoded from it.
    bool feed(const QByteArray &bytes, QStringList *out);
    bool malformed() const { return m_malformed; }

    static QByteArray encode(const QString &message);

private:
    QByteArray m_pending;
    bool m_malformed = false;
};

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // Takes the lock for appId and the current user when it is free (or stale: its process died),
    // and then listens for messages. `lockFolder` is for tests; by default the user's runtime folder.
    explicit SingleInstance(const QString &appId, QObject *parent = nullptr,
                            const QString &lockFolder = QString());
    ~SingleInstance() override;

    // Another instance held the lock when this one was made.
    bool isRunning() const { return !m_first; }
    QString id() const { return m_id; }
    // The local socket the first instance listens on.
    QString serverName() const { return m_key; }

public slots:
    // Sends message to the first instance and waits, running events, for its acknowledgement; false
    // when this is the first instance, or nothing answered within timeout ms.
    bool sendMessage(const QString &message, int timeout);

signals:
    void messageReceived(const QString &message);

private:
    void acceptConnections();

    QString m_id;
    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    bool m_first = false;
    QLocalServer *m_server = nullptr;
};
