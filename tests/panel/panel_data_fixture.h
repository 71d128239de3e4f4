// A fresh program folder with an empty "modules" tree for each test, and seams that record.
#pragma once

#include "panel/panel_data.h"
#include "support/qt_log.h"
#include "support/test_dir.h"

#include <sim/user32_sim.h>

#include <QDir>
#include <QFile>

#include <filesystem>
#include <map>
#include <string>

struct RecordingDevice : DeviceSide
{
    void releaseBusy() override { ++released; }
    int currentDeviceType() override { return type; }
    int released = 0;
    int type = 1;
};

struct RecordingLauncher : ProgramLauncher
{
    bool startDetached(const QString &program, const QStringList &) override
    {
        started << program;
        return true;
    }
    QStringList started;
};

class PanelDataTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim::user32::resetAll();
        dir = freshTestDirectory();
        root = QString::fromStdString(dir.string());
        for (const char *folder : {"modules/setting", "modules/macro", "modules/macro1", "modules/i18n"})
            QDir().mkpath(path(folder));
    }
    void TearDown() override
    {
        data.reset();
        std::filesystem::remove_all(dir);
    }

    QString path(const QString &relative) const { return root + "/" + relative; }
    PanelData &open()
    {
        data = std::make_unique<PanelData>(device, launcher, root);
        return *data;
    }
    void write(const QString &relative, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile f(path(relative));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray read(const QString &relative) const
    {
        QFile f(path(relative));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Every file below the program folder with its bytes: a test shows "nothing else changed" with it.
    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        {
            const QString p = QString::fromStdString(entry.path().string());
            files[entry.path().string()] =
                entry.is_regular_file() ? read(p.mid(root.size() + 1)).toStdString() : "<dir>";
        }
        return files;
    }

    std::filesystem::path dir;
    QString root;
    RecordingDevice device;
    RecordingLauncher launcher;
    std::unique_ptr<PanelData> data;
    QtLogCapture log;
};
