#pragma once
// Starting the helper processes and the programs of the wine session: each
// child gets exactly the descriptors it is given, and nothing else that this
// process has open.
#include <sys/types.h>

#include <string>
#include <vector>

namespace ChildProcess {

struct Options {
    // What becomes the child's descriptors 0, 1, 2 and 3; -1 is /dev/null
    // for 0 to 2 and nothing for 3.
    int in = -1, out = -1, err = -1, channel = -1;
    // The environment ("NAME=value"); empty: this process's own.
    std::vector<std::string> environment;
    // Run velmora-spihost (beside the bridge) instead of argv[0]; argv[0]
    // is still passed.
    bool helper = false;
    // Start the child in a process group of its own (its pid), so that it
    // can be ended together with everything it started.
    bool ownGroup = false;
    // A helper that serves every thread: started on a thread that lasts as
    // long as the process, since a helper ends with the thread that started
    // it (its parent-death signal follows that thread).
    bool servesEveryThread = false;
};

// The child's pid, or -errno when it could not be started.
pid_t Start(const std::vector<std::string>& argv, const Options& options);

// Waits for the child to end; its wait status, or -1.
int Wait(pid_t pid);

// The folder of the bridge library, which holds the helpers.
std::string BridgeFolder();

} // namespace ChildProcess
