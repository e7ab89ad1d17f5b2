#include "pluginhost/PluginScan.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginLog.h"

struct PluginScan::State {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::unique_ptr<ClsPluginManager> manager;
};

PluginScan::PluginScan(QStringList folders) : mState(std::make_shared<State>())
{
    std::thread([state = mState, folders = std::move(folders)] {
        pthread_setname_np(pthread_self(), "velmora-plugins");
        auto manager = std::make_unique<ClsPluginManager>();
        try {
            for (const QString& folder : folders)
                manager->Initialize(folder);
        } catch (const std::exception& e) {
            // A plug-in's own failure leaves only that one out; this is the
            // folder itself. What was read so far is used.
            qCWarning(lcPlugins) << "the plug-in scan ended early:" << e.what();
        }
        const std::lock_guard hold(state->lock);
        state->manager = std::move(manager);
        state->finished = true;
        state->done.notify_all();
    }).detach();
}

PluginScan::~PluginScan() = default;

bool PluginScan::Done() const
{
    const std::lock_guard hold(mState->lock);
    return mState->finished;
}

bool PluginScan::Wait(int timeoutMs) const
{
    std::unique_lock hold(mState->lock);
    if (timeoutMs < 0) {
        mState->done.wait(hold, [&] { return mState->finished; });
        return true;
    }
    return mState->done.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return mState->finished; });
}

std::unique_ptr<ClsPluginManager> PluginScan::Take()
{
    Wait(-1);
    const std::lock_guard hold(mState->lock);
    return std::move(mState->manager);
}
