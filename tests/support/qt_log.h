// Qt's debug stream for tests: a capture of every line (with the thread that wrote it) and a main()
// that creates the application object before the tests run.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Collects the debug lines written while it lives; one at a time.
class QtLogCapture
{
public:
    struct Line
    {
        std::string text;
        std::thread::id thread;
    };

    QtLogCapture()
    {
        s_Current = this;
        m_Previous = qInstallMessageHandler(&QtLogCapture::Handler);
    }
    ~QtLogCapture()
    {
        qInstallMessageHandler(m_Previous);
        s_Current = nullptr;
    }
    QtLogCapture(const QtLogCapture &) = delete;
    QtLogCapture &operator=(const QtLogCapture &) = delete;

    std::vector<Line> Lines() const
    {
        std::lock_guard guard(m_Lock);
        return m_Lines;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Line &line : Lines())
            texts.push_back(line.text);
        return texts;
    }
    size_t Count(const std::string &text) const
    {
        const auto texts = Texts();
        return size_t(std::count(texts.begin(), texts.end(), text));
    }
    void Clear()
    {
        std::lock_guard guard(m_Lock);
        m_Lines.clear();
    }

private:
    static void Handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        QtLogCapture *self = s_Current;
        std::lock_guard guard(self->m_Lock);
        self->m_Lines.push_back({message.toStdString(), std::this_thread::get_id()});
    }

    static inline QtLogCapture *s_Current = nullptr;
    QtMessageHandler m_Previous = nullptr;
    mutable std::mutex m_Lock;
    std::vector<Line> m_Lines;
};

// The test programs' main: the Qt application object first, then every test.
inline int RunQtTests(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
