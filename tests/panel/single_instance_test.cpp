#include "panel/single_instance.h"

#include "support/qt_log.h"
#include "support/test_dir.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QtEndian>

#include <csignal>
#include <random>

namespace
{

// Runs events until cond holds, a bounded number of rounds.
template <typename F> bool until(F cond)
{
    for (int round = 0; round < 20000 && !cond(); ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return cond();
}

struct Inbox : QObject
{
    explicit Inbox(SingleInstance &first)
    {
        QObject::connect(&first, &SingleInstance::messageReceived, this,
                         [this](const QString &m) { messages << m; });
    }
    QStringList messages;
};

// The helper in a process of its own: it prints "first" or "second" and then every message it
// receives, until its standard input closes.
QProcess *startChild(const QString &id, const QString &folder)
{
    auto *child = new QProcess;
    child->start(SINGLE_INSTANCE_CHILD, {id, folder});
    return child;
}

QString firstLine(QProcess &child)
{
    for (int i = 0; i < 500 && !child.canReadLine(); ++i)
        child.waitForReadyRead(20);
    return QString::fromUtf8(child.readLine()).trimmed();
}
} // namespace

class SingleInstanceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = QString::fromStdString(freshTestDirectory().string());
        // The socket name is per application and user, not per folder: tests that run at the same
        // time each need an application of their own.
        id = QString("zelko-single-%1-%2")
                 .arg(::testing::UnitTest::GetInstance()->current_test_info()->name())
                 .arg(QCoreApplication::applicationPid());
    }
    void TearDown() override { std::filesystem::remove_all(folder.toStdString()); }
    QString folder;
    QString id;
};

TEST_F(SingleInstanceTest, TheSecondHandsItsMessageToTheFirst)
{
    auto first = std::make_unique<SingleInstance>(id, nullptr, folder);
    Inbox inbox(*first);
    SingleInstance second(id, nullptr, folder);
    EXPECT_FALSE(first->isRunning());
    EXPECT_TRUE(second.isRunning());
    EXPECT_EQ(second.id(), id);
    EXPECT_FALSE(first->sendMessage("to myself", 100));

    const QString texts[] = {"", "Grüße, 耳机 ✓", QString(60 * 1024, QChar('m'))};
    for (const QString &text : texts)
        EXPECT_TRUE(second.sendMessage(text, 5000)) << text.size();
    EXPECT_TRUE(until([&] { return inbox.messages.size() == 3; }));
    EXPECT_EQ(inbox.messages, QStringList(std::begin(texts), std::end(texts)));

    first.reset();
    SingleInstance next(id, nullptr, folder);
    EXPECT_FALSE(next.isRunning()) << "the lock went with the first";
}

TEST_F(SingleInstanceTest, BadClientsBlockNothing)
{
    QtLogCapture log;
    SingleInstance first(id, nullptr, folder);
    Inbox inbox(first);
    std::mt19937 rng(1661);
    QLocalSocket silent, noisy, oversized;
    silent.connectToServer(first.serverName());
    noisy.connectToServer(first.serverName());
    oversized.connectToServer(first.serverName());
    ASSERT_TRUE(until([&] { return noisy.state() == QLocalSocket::ConnectedState; }));
    QByteArray junk(3000, 0);
    for (char &c : junk)
        c = char(rng());
    junk[0] = char(0x7F); // a length far over the limit
    noisy.write(junk);
    oversized.write(MessageFrameDecoder::encode(QString(40000, QChar(0x20AC)))); // 120000 bytes of UTF-8
    SingleInstance second(id, nullptr, folder);
    EXPECT_TRUE(second.sendMessage("after the noise", 5000));
    EXPECT_TRUE(until([&] { return noisy.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_TRUE(until([&] { return oversized.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(inbox.messages, QStringList{"after the noise"});
}

TEST_F(SingleInstanceTest, AcrossProcessesOneIsFirstAndADeadOnesLockIsTakenOver)
{
    std::unique_ptr<QProcess> holder(startChild(id, folder));
    ASSERT_EQ(firstLine(*holder), "first");
    SingleInstance second(id, nullptr, folder);
    EXPECT_TRUE(second.isRunning());
    EXPECT_TRUE(second.sendMessage("über", 5000));
    EXPECT_EQ(firstLine(*holder), "über");

    ::kill(pid_t(holder->processId()), SIGKILL);
    holder->waitForFinished(5000);
    SingleInstance next(id, nullptr, folder);
    EXPECT_FALSE(next.isRunning()) << "a lock left by a killed process is taken over";
}

TEST_F(SingleInstanceTest, OfSixteenStartedAtOnceExactlyOneIsFirst)
{
    std::vector<std::unique_ptr<QProcess>> children;
    for (int i = 0; i < 16; ++i)
        children.emplace_back(startChild(id, folder));
    int firsts = 0, seconds = 0;
    for (auto &child : children)
    {
        const QString line = firstLine(*child);
        firsts += line == "first";
        seconds += line == "second";
    }
    EXPECT_EQ(firsts, 1);
    EXPECT_EQ(seconds, 15);
    for (auto &child : children)
    {
        child->closeWriteChannel();
        child->waitForFinished(5000);
    }
}

// The decoder alone, over random streams cut at random points.
TEST(MessageFrameDecoderRandom, OneMessagePerWellFormedFrameAndOversizedOnesDropped)
{
    std::mt19937 rng(4242);
    for (int round = 0; round < 60; ++round)
    {
        QByteArray stream;
        QStringList expected;
        bool broken = false;
        const int size = int(rng() % (128 * 1024 + 1));
        while (stream.size() < size)
        {
            if (rng() % 20 == 0)
            {
                QByteArray header(4, 0);
                qToBigEndian<quint32>(MessageFrameDecoder::kMaxFrameBytes + 1 + rng() % 1000, header.data());
                stream += header + QByteArray(int(rng() % 100), 'x');
                broken = true;
                continue;
            }
            QString text;
            for (int n = int(rng() % 200); n > 0; --n)
                text += QChar(char16_t(0x20 + rng() % 0x2000));
            stream += MessageFrameDecoder::encode(text);
            if (!broken)
                expected << text;
        }
        MessageFrameDecoder decoder;
        QStringList got;
        for (int at = 0; at < stream.size();)
        {
            const int n = std::min<int>(stream.size() - at, 1 + int(rng() % 5000));
            decoder.feed(stream.mid(at, n), &got);
            at += n;
        }
        EXPECT_EQ(got, expected) << round;
        EXPECT_EQ(decoder.malformed(), broken);
    }
}
