#pragma once

// Clears a flag on every way out of a scope: set the flag, then declare `FlagReset reset{flag};`.
struct FlagReset {
    bool& flag;
    ~FlagReset() { flag = false; }
};
