// SPDX-License-Identifier: GPL-3.0-or-later
// Building and running the signal chain.
//
// Order: a topological sort of the signal boxes with ties broken by creation order, so the
// chain (and the lines print~ writes) is the same from run to run. Buffers: every signal outlet
// writes its own buffer, except that an object which allows in-place processing may write an
// outlet into the buffer of its inlet of the same index when nothing else reads that buffer.
// Unconnected inlets read zeros; several cords into one inlet are summed by a host routine
// placed just before the reader.
#include "host/dsp.hpp"

#include "host/runtime.hpp"

#include <cstring>
#include <map>
#include <new>
#include <queue>

namespace tovo::host {

void AlignedFree::operator()(float* p) const {
    ::operator delete[](p, std::align_val_t(SIGNAL_ALIGN));
}

SignalBuffer make_signal_buffer(long n) {
    const auto count = static_cast<std::size_t>(n > 0 ? n : 1);
    auto* p = static_cast<float*>(
        ::operator new[](count * sizeof(float), std::align_val_t(SIGNAL_ALIGN)));
    std::memset(p, 0, count * sizeof(float));
    return SignalBuffer(p);
}

namespace {

// w[1] sum, w[2] n, w[3] k, w[4..4+k) the buffers to add.
std::intptr_t* sum_perform(std::intptr_t* w) {
    auto* out = reinterpret_cast<float*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long k = static_cast<long>(w[3]);
    const auto* first = reinterpret_cast<const float*>(w[4]);
    for (long j = 0; j < n; ++j)
        out[j] = first[j];
    for (long c = 1; c < k; ++c) {
        const auto* in = reinterpret_cast<const float*>(w[4 + c]);
        for (long j = 0; j < n; ++j)
            out[j] += in[j];
    }
    return w + 4 + k;
}

// A cord's source: outlet `outlet` of node `node`, counting all the box's outlets from the left.
struct Source {
    std::size_t node;
    int outlet;
};

} // namespace

struct SignalGraph {
    std::vector<Box*> nodes; // the signal boxes that take "dsp", in creation order
    // Per node and signal inlet: the cords into it, in the order their signals are summed.
    std::vector<std::vector<std::vector<Source>>> into;
    std::vector<std::vector<int>> readers;       // per node and outlet: the inlets it feeds
    std::vector<std::vector<std::size_t>> feeds; // per node: the node each of its cords feeds
    std::vector<std::vector<float*>> written;    // per node and outlet: its buffer, once wired
};

struct BoxWiring {
    std::vector<float*> in, out;
    std::vector<bool> in_private; // an inlet's buffer nothing else reads: an outlet may reuse it
    std::vector<short> counts;    // cords into each signal inlet, then out of each signal outlet
};

namespace {

// The signal boxes that take "dsp", and their cords into one another's signal inlets.
SignalGraph collect(const std::vector<Box*>& boxes, Symbol* dsp) {
    SignalGraph g;
    std::map<const Box*, std::size_t> index;
    for (Box* b : boxes)
        if (b->cls->find(dsp)) {
            index[b] = g.nodes.size();
            g.nodes.push_back(b);
        }
    for (const Box* b : g.nodes) {
        g.into.emplace_back(static_cast<std::size_t>(b->signal_inlets));
        g.readers.emplace_back(b->outlets.size(), 0);
        g.written.emplace_back(b->outlets.size(), nullptr);
    }
    g.feeds.resize(g.nodes.size());
    for (std::size_t i = 0; i < g.nodes.size(); ++i)
        for (std::size_t o = 0; o < g.nodes[i]->outlets.size(); ++o) {
            const Outlet& out = *g.nodes[i]->outlets[o];
            if (out.kind != OutletKind::Signal)
                continue;
            for (const Cord& c : out.cords) {
                auto to = index.find(c.to);
                if (to == index.end() || c.inlet >= c.to->signal_inlets)
                    continue;
                g.into[to->second][static_cast<std::size_t>(c.inlet)].push_back(
                    {i, static_cast<int>(o)});
                ++g.readers[i][o];
                g.feeds[i].push_back(to->second);
            }
        }
    return g;
}

// Kahn's sort, the ready set ordered by creation. Nodes caught in a loop are left out and named
// in `problem`.
std::vector<std::size_t> sort(const SignalGraph& g, std::string& problem) {
    std::vector<int> waiting(g.nodes.size(), 0);
    for (const auto& fed : g.feeds)
        for (std::size_t j : fed)
            ++waiting[j];
    auto later = [&](std::size_t a, std::size_t b) {
        return g.nodes[a]->serial > g.nodes[b]->serial;
    };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> ready(later);
    for (std::size_t i = 0; i < g.nodes.size(); ++i)
        if (waiting[i] == 0)
            ready.push(i);
    std::vector<std::size_t> order;
    while (!ready.empty()) {
        const std::size_t i = ready.top();
        ready.pop();
        order.push_back(i);
        for (std::size_t j : g.feeds[i])
            if (--waiting[j] == 0)
                ready.push(j);
    }
    if (order.size() < g.nodes.size()) {
        problem = "signal loop; left out of the chain:";
        for (std::size_t i = 0; i < g.nodes.size(); ++i)
            if (waiting[i] > 0) {
                const Box* b = g.nodes[i];
                problem += ' ';
                problem += b->name.empty() ? b->cls->name->s_name : b->name.c_str();
            }
    }
    return order;
}

// The box's "dsp" message: its signal records, inlets then outlets, and the connection counts.
void send_dsp(Box& b, BoxWiring& w, long n, double sr, const Method& dsp) {
    std::vector<Signal> records;
    for (float* p : w.in)
        records.push_back({n, p, sr});
    for (float* p : w.out)
        records.push_back({n, p, sr});
    std::vector<Signal*> sp;
    for (Signal& r : records)
        sp.push_back(&r);
    detail::DspCall call{sp.data(), w.counts.data()};
    dsp.thunk(dsp.fn, b.instance, &call);
}

} // namespace

void DspChain::build(const std::vector<Box*>& boxes, long n, double sr, std::string& problem) {
    Symbol* dsp = gensym("dsp");
    SignalGraph g = collect(boxes, dsp);
    for (std::size_t i : sort(g, problem)) {
        building_ = g.nodes[i];
        BoxWiring w;
        wire_inlets(g, i, n, w);
        wire_outlets(g, i, n, w);
        send_dsp(*g.nodes[i], w, n, sr, *g.nodes[i]->cls->find(dsp));
    }
    building_ = nullptr;
}

float* DspChain::new_buffer(long n) {
    buffers_.push_back(make_signal_buffer(n));
    return buffers_.back().get();
}

// An inlet without cords reads zeros, one with a single cord reads its source's buffer, and one
// with several reads a sum that a host routine, placed just before the box, forms each vector.
void DspChain::wire_inlets(const SignalGraph& g, std::size_t node, long n, BoxWiring& w) {
    for (const std::vector<Source>& sources : g.into[node]) {
        w.counts.push_back(static_cast<short>(sources.size()));
        if (sources.size() == 1) {
            const Source& s = sources[0];
            w.in.push_back(g.written[s.node][static_cast<std::size_t>(s.outlet)]);
            w.in_private.push_back(g.readers[s.node][static_cast<std::size_t>(s.outlet)] == 1);
            continue;
        }
        w.in.push_back(new_buffer(n));
        w.in_private.push_back(!sources.empty());
        if (sources.empty())
            continue;
        std::vector<void*> args{w.in.back(), reinterpret_cast<void*>(n),
                                reinterpret_cast<void*>(sources.size())};
        for (const Source& s : sources)
            args.push_back(g.written[s.node][static_cast<std::size_t>(s.outlet)]);
        add(sum_perform, static_cast<long>(args.size()), args.data());
    }
}

// Each signal outlet writes a buffer of its own, or, unless the box forbids it, the private
// buffer of its inlet of the same index.
void DspChain::wire_outlets(SignalGraph& g, std::size_t node, long n, BoxWiring& w) {
    const Box& b = *g.nodes[node];
    std::size_t k = 0; // signal outlet index
    for (std::size_t o = 0; o < b.outlets.size(); ++o) {
        if (b.outlets[o]->kind != OutletKind::Signal)
            continue;
        float* buf = nullptr;
        if (!b.no_inplace() && k < w.in.size() && w.in_private[k]) {
            buf = w.in[k];
            w.in_private[k] = false;
        } else {
            buf = new_buffer(n);
        }
        ++k;
        g.written[node][o] = buf;
        w.out.push_back(buf);
        w.counts.push_back(static_cast<short>(b.outlets[o]->cords.size()));
    }
}

void DspChain::add(PerformRoutine perform, long n, void** args) {
    if (n < 0)
        n = 0;
    entries_.push_back({words_.size(), n, building_});
    words_.push_back(reinterpret_cast<std::intptr_t>(perform));
    for (long i = 0; i < n; ++i)
        words_.push_back(reinterpret_cast<std::intptr_t>(args[i]));
}

bool DspChain::tick(std::string& problem) {
    if (stopped_)
        return false;
    std::intptr_t* base = words_.data();
    for (const Entry& e : entries_) {
        std::intptr_t* w = base + e.at;
        auto perform = reinterpret_cast<PerformRoutine>(w[0]);
        std::intptr_t* next = perform(w);
        if (next != w + e.n + 1) {
            stopped_ = true;
            const char* who = e.owner ? e.owner->cls->name->s_name : "host";
            problem = std::string("dsp: the perform routine of ") + who +
                      " returned the wrong position; signal processing stopped";
            return false;
        }
    }
    return true;
}

} // namespace tovo::host
