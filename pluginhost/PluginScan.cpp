#include "pluginhost/PluginScan.h"

#include <exception>
#include <mutex>

#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginBridge.h"
#include "pluginhost/PluginLog.h"

struct PluginScan::State {
    std::mutex lock;
    std::unique_ptr<ClsPluginManager> manager;
};

namespace {

std::unique_ptr<ClsPluginManager> Scan(const QStringList& folders)
{
    auto manager = std::make_unique<ClsPluginManager>();
    try {
        for (const QString& folder : folders)
            manager->Initialize(folder);
    } catch (const std::exception& e) {
        // A plug-in's own failure leaves only that one out; this is the
        // bridge itself. What was read so far is used.
        qCWarning(lcPlugins) << "the plug-in scan ended early:" << e.what();
    }
    return manager;
}

} // namespace

PluginScan::PluginScan(QStringList folders) : mState(std::make_shared<State>())
{
    DecodeService* service = DecodeService::Instance();
    if (!service) {
        mState->manager = Scan(folders);
        return;
    }
    mJob = service->Submit(
        [state = mState, folders = std::move(folders), owner = PluginBridge::ThreadHelpers()] {
            std::unique_ptr<ClsPluginManager> manager;
            try {
                const PluginBridge::CallsAs calls(owner);
                manager = Scan(folders);
            } catch (const std::exception& e) {
                qCWarning(lcPlugins) << "no plug-ins:" << e.what();
                manager = std::make_unique<ClsPluginManager>();
            }
            const std::lock_guard hold(state->lock);
            state->manager = std::move(manager);
        },
        {}, true);
}

PluginScan::~PluginScan()
{
    if (!Done())
        mJob.Stop();
}

bool PluginScan::Done() const { return Wait(0); }

bool PluginScan::Wait(int timeoutMs) const
{
    // Without a service there is no job: the scan was done at once.
    if (timeoutMs >= 0)
        return mJob.WaitDone(timeoutMs);
    while (!mJob.WaitDone(1000)) {
    }
    return true;
}

std::unique_ptr<ClsPluginManager> PluginScan::Take()
{
    Wait(-1);
    const std::lock_guard hold(mState->lock);
    // A job dropped before it ran (the program is ending) read nothing.
    return mState->manager ? std::move(mState->manager) : std::make_unique<ClsPluginManager>();
}
