#include "pluginrunner/BridgeLog.h"

#include <atomic>
#include <cstdio>

namespace BridgeLog {
namespace {

std::atomic<LoadPluginLogSink> gSink{nullptr};

} // namespace

void SetSink(LoadPluginLogSink sink) { gSink.store(sink); }

void Say(Topic topic, const std::string& text)
{
    if (const LoadPluginLogSink sink = gSink.load())
        sink(int(topic), text.c_str());
    else
        std::fprintf(stderr, "velmora: %s\n", text.c_str());
}

} // namespace BridgeLog
