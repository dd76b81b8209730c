// SPDX-License-Identifier: GPL-3.0-or-later
// The signal chain: signal objects in an order where each runs after those that feed it, their
// sample buffers, and the flat array of perform routines and arguments that one vector walks.
#pragma once

#include <tovo/api.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovo::host {

// Buffers are aligned for the widest vector instructions.
inline constexpr std::size_t SIGNAL_ALIGN = 64;

struct TOVO_EXPORT AlignedFree {
    void operator()(float* p) const;
};
using SignalBuffer = std::unique_ptr<float[], AlignedFree>;
TOVO_EXPORT SignalBuffer make_signal_buffer(long n); // zeroed

struct SignalGraph; // the signal boxes and the cords between them, while a chain is built
struct BoxWiring;   // one box's buffers and connection counts, as its "dsp" message carries them

class DspChain {
public:
    // Sorts the signal boxes, gives them buffers and sends each its "dsp" message, in chain
    // order. Boxes caught in a loop are left out and named in `problem`.
    void build(const std::vector<Box*>& boxes, long n, double sr, std::string& problem);

    // Called through dsp_addv while the chain is being built.
    void add(PerformRoutine perform, long n, void** args);

    // One vector through every routine. False (with `problem` set) when a routine returned a
    // position other than the one just past its arguments; the chain then stays stopped.
    bool tick(std::string& problem);
    bool stopped() const { return stopped_; }
    std::size_t routines() const { return entries_.size(); }

private:
    // The steps of build for one box, in chain order: buffers for its signal inlets, then for
    // its signal outlets.
    void wire_inlets(const SignalGraph& g, std::size_t node, long n, BoxWiring& w);
    void wire_outlets(SignalGraph& g, std::size_t node, long n, BoxWiring& w);
    float* new_buffer(long n);

    struct Entry {
        std::size_t at; // index of the routine's word
        long n;         // its argument count
        const Box* owner;
    };
    std::vector<std::intptr_t> words_;
    std::vector<Entry> entries_;
    std::vector<SignalBuffer> buffers_;
    const Box* building_ = nullptr;
    bool stopped_ = false;
};

} // namespace tovo::host
