#pragma once
// The live answers: facts read from the machine at each call.
#include <string>

namespace standin {

struct AdapterFacts {
    std::wstring ipv4;  // dotted text; empty when the adapter has no IPv4 address
    std::wstring mac;   // "00-1A-2B-3C-4D-5E"; all zeros when there is no adapter
};

// The first adapter that is up and not a loopback, preferring one with an IPv4 address.
AdapterFacts LocalAdapter();

// "Not installed", "Executable missing", "Running" or "Installed" (README.md).
std::wstring PelloraStatus();

}  // namespace standin
