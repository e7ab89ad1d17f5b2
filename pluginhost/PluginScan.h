#pragma once
// The import filters of the plug-in folders, read in the background: a
// show's window comes up and its walk starts while they load (a Windows
// plug-in's helper may be waiting for wine). The scan is a job of the
// decoding service, in front of the pictures, and asks the plug-ins through
// the helpers of the thread that made it, as a scan on that thread would.
// A scan dropped before it is done is stopped: the call under way ends and
// no further plug-in is asked.
#include <memory>

#include <QStringList>

#include "imaging/DecodeService.h"

class ClsPluginManager;

class PluginScan {
public:
    // Starts reading the plug-ins of folders, in order (as
    // ClsPluginManager::Initialize, once per folder). Without a decoding
    // service it reads them at once.
    explicit PluginScan(QStringList folders);
    ~PluginScan();
    PluginScan(const PluginScan&) = delete;
    PluginScan& operator=(const PluginScan&) = delete;

    bool Done() const;
    // Waits up to timeoutMs without handling events; whether the scan is done.
    bool Wait(int timeoutMs) const;
    // The manager with every usable plug-in, once; waits for the scan when
    // it is not done yet.
    std::unique_ptr<ClsPluginManager> Take();

private:
    struct State;
    std::shared_ptr<State> mState;
    DecodeService::Job mJob;
};
