#pragma once
// The import filters of the plug-in folders, read on a thread of their own:
// a show's window comes up and its walk starts while they load (a Windows
// plug-in's helper may be waiting for wine). The thread belongs to the scan;
// a scan dropped before it is done is left to end alone (each plug-in call
// ends within the bridge's limit) and its result is thrown away.
#include <memory>

#include <QStringList>

class ClsPluginManager;

class PluginScan {
public:
    // Starts reading the plug-ins of folders, in order (as
    // ClsPluginManager::Initialize, once per folder).
    explicit PluginScan(QStringList folders);
    ~PluginScan();
    PluginScan(const PluginScan&) = delete;
    PluginScan& operator=(const PluginScan&) = delete;

    bool Done() const;
    // Waits up to timeoutMs (-1: for as long as it takes) without handling
    // events; whether the scan is done.
    bool Wait(int timeoutMs) const;
    // The manager with every usable plug-in, once; waits for the scan when
    // it is not done yet.
    std::unique_ptr<ClsPluginManager> Take();

private:
    struct State;
    std::shared_ptr<State> mState;
};
