#pragma once
// Every usable import-filter plug-in of its folders, in the order the folder
// scans met them: the rest of the program uses plug-ins only through this.
// Each manager is used by one thread; there is one per thread that needs
// plug-ins, each with its own plug-in objects. What they share is guarded
// where it lives: the bridge and its helpers (PluginBridge.h) and the
// record of plug-ins that hung (PluginHangs.h).
#include <cstdint>
#include <memory>
#include <vector>

#include <QString>
#include <QStringList>

#include "imaging/DeviceContext.h"
#include "pluginhost/ClsPlugin.h"

class ClsPluginManager {
public:
    // Adds the plug-ins of one folder; called once for each folder, in order.
    // On the user interface's thread, events are handled between plug-ins.
    // A plug-in whose file name an earlier folder already gave is left out,
    // and so is one that hung too often in this run.
    std::int32_t Initialize(const QString& PluginDir);
    // The last index of the plug-in list, -1 when none was accepted.
    std::int32_t PluginCount() const;
    QString PluginName(std::int32_t Index) const;
    QString APIVersion(std::int32_t Index) const;
    QString AboutPlugin(std::int32_t Index) const;
    QString SupportExtension() const;
    // A plug-in whose call failed counts as not reading the file.
    QString CheckFile(const QString& FileName) const;
    // When nothing was drawn, *why (if given) says why.
    std::int32_t DrawPictureFile(const QString& PictureFileName, HDC hdc, std::int32_t Heigth,
                                 std::int32_t Width, std::int32_t top, std::int32_t left,
                                 const QString& PictureKind, QString* why = nullptr);
    // The same two for a picture in memory, name standing for it in
    // messages (see ClsPlugin::CheckBytes).
    QString CheckBytes(const QString& name, const QByteArray& bytes) const;
    std::int32_t DrawPictureBytes(const QString& name, const QByteArray& bytes, HDC hdc,
                                  std::int32_t Heigth, std::int32_t Width, std::int32_t top,
                                  std::int32_t left, const QString& PictureKind, QString* why = nullptr);
    bool Stretch() const;
    void SetStretch(bool tStretch);

private:
    void LoadPlugins(const QString& folder);
    const ClsPlugin* At(std::int32_t Index) const;
    // The description of the first plug-in whose check accepts the picture.
    template <typename CheckFn> QString Check(const QString& name, CheckFn check) const;
    // Draws with the first plug-in that reads kind.
    template <typename DrawFn> std::int32_t Draw(const QString& kind, QString* why, DrawFn draw) const;

    std::vector<std::unique_ptr<ClsPlugin>> mPlugins;
    QStringList mFileNames; // of every plug-in met, loaded or not
    bool mStretch = false;
};
