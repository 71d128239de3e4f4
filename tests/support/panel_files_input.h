// Outside input for the panel's data files: one input is written as one kind of file (or taken as a
// copy-data record) and every reader of it runs. Shared by the bounded random test and libFuzzer.
#pragma once

#include "panel/input_hooks.h"
#include "panel/panel_data.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace panel_input
{
struct NoDevice : DeviceSide
{
    void releaseBusy() override {}
    int currentDeviceType() override { return 3; }
};
struct NoLauncher : ProgramLauncher
{
    bool startDetached(const QString &, const QStringList &) override { return false; }
};

constexpr int kKinds = 6;
const char *const kFiles[] = {"modules/setting/name.bin", "modules/macro/m.bin", "modules/gun/gunData.bin",
                              "modules/i18n/en.ini", "modules/setting/p1.bin"};

// Runs `kind` (0..5) over `bytes` below `root`, a folder of the caller's. Returns the number of values
// read, so nothing is optimised away.
inline size_t run(const QString &root, int kind, const uint8_t *bytes, size_t size)
{
    size_t values = 0;
    if (kind == 5)
    {
        // A copy-data record: the tag and count from the input, the data exactly as long as the rest.
        COPYDATASTRUCT cds{kCopyDataTag, 0, nullptr};
        if (size >= 1)
            cds.dwData = bytes[0] & 1 ? kCopyDataTag : bytes[0];
        std::unique_ptr<uint8_t[]> data(size > 5 ? new uint8_t[size - 5] : nullptr);
        if (size >= 5)
            std::memcpy(&cds.cbData, bytes + 1, 4);
        if (data)
        {
            std::memcpy(data.get(), bytes + 5, size - 5);
            cds.lpData = data.get();
            cds.cbData = std::min<DWORD>(cds.cbData, DWORD(size - 5));
        }
        if (auto text = copyDataText(cds))
            values += size_t(text->size());
        return values;
    }
    for (const char *folder : {"modules/setting", "modules/macro", "modules/gun", "modules/i18n"})
        QDir().mkpath(root + "/" + folder);
    QFile file(root + "/" + kFiles[kind]);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char *>(bytes), qint64(size));
    file.close();
    NoDevice device;
    NoLauncher launcher;
    PanelData d(device, launcher, root);
    for (int type = 0; type < 4; ++type)
        values += size_t(d.getNameList(type, 0).size());
    values += size_t(d.loadMacroIni("m", 0).size());
    values += size_t(d.getGunDataKey().size());
    for (const QString &key : d.getGunDataKey())
        values += size_t(d.getGunData(key).size());
    values += size_t(d.getLangStrings("menu", "en").size());
    values += size_t(d.getDataList("mouseKeyMatrix/0", false).size());
    values += size_t(d.mouseGetKeydefine(1, false).size());
    values += d.getData("XYSensitive/0", false).isValid();
    return values;
}
} // namespace panel_input
