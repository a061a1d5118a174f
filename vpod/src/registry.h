// The board of this process: its chips, their interfaces in enumeration order and the open
// D2XX handles. Lock order: the registry's mutex before any interface's.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "device.h"

namespace vpod::detail {

struct Registry {
    std::mutex mu;
    std::vector<std::shared_ptr<Chip>> chips;
    std::vector<std::shared_ptr<Interface>> order;
    std::unordered_set<Handle*> handles;
    bool loaded = false;
};

Registry& registry();
// Frees the registry (and with it the board); the next registry() starts empty.
void releaseRegistry();

// The caller holds r.mu.
// Loads the board on first use: the file DORVANE_VPOD names, else the default board.
void ensureLoaded(Registry& r);
// Replace the board; on failure the old one stays and *error (if given) says why.
bool loadText(Registry& r, const std::string& text, std::string* error);
bool loadEnv(Registry& r, std::string* error);
// Gives every MPSSE interface its waveform scope (or none when the waveform is off).
void declareVcd(Registry& r);
std::vector<Interface*> presentInterfaces(Registry& r);
std::shared_ptr<Chip> chipOf(Registry& r, const Interface* d);

// These take the interfaces' own locks.
// The interface leaves the bus: its handles die, a blocked Read returns.
void killInterface(Interface& d);
// Every interface of the chip back to its power-up state.
void resetChipState(Chip& c);
// The chip of the interface leaves the bus (takes the registry's lock, then the interfaces').
bool unplugChip(Interface& d);

bool readFile(const std::string& path, std::string* text, std::string* error);

}  // namespace vpod::detail
