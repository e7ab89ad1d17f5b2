#pragma once
// The show's options beyond the original program, as the main window's
// options menu sets them; all off by default, and off the show is the
// original one. (Archives as folders are set apart: they need plug-ins
// read before the show opens.)
struct ShowOptions {
    bool animate = false;     // animated pictures play
    bool shuffle = false;     // the whole tree in a random order
    bool hidePointer = false; // the pointer goes after 2 s without motion
    bool crossfade = false;   // a timer step fades to the next picture
    bool caption = false;     // the picture's name and date in a corner
};
