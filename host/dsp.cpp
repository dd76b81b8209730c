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

#include <algorithm>
#include <cstdlib>
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

struct Edge {
    Box* from;
    int outlet; // index among all outlets, from the left
    Box* to;
    int inlet;
};

} // namespace

void DspChain::build(const std::vector<Box*>& boxes, long n, double sr, std::string& problem) {
    Symbol* dsp = gensym("dsp");

    std::vector<Box*> nodes;
    std::map<const Box*, std::size_t> index;
    for (Box* b : boxes)
        if (b->cls->find(dsp)) {
            index[b] = nodes.size();
            nodes.push_back(b);
        }

    std::vector<Edge> edges;
    std::vector<std::vector<std::size_t>> out_edges(nodes.size());
    std::vector<int> waiting(nodes.size(), 0);
    for (Box* b : nodes)
        for (std::size_t o = 0; o < b->outlets.size(); ++o) {
            const Outlet& out = *b->outlets[o];
            if (out.kind != OutletKind::Signal)
                continue;
            for (const Cord& c : out.cords) {
                auto it = index.find(c.to);
                if (it == index.end() || c.inlet >= c.to->signal_inlets)
                    continue;
                out_edges[index[b]].push_back(edges.size());
                edges.push_back({b, static_cast<int>(o), c.to, c.inlet});
                ++waiting[it->second];
            }
        }

    // Kahn's sort; the ready set is ordered by creation.
    auto later = [&](std::size_t a, std::size_t b) { return nodes[a]->serial > nodes[b]->serial; };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> ready(later);
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (waiting[i] == 0)
            ready.push(i);
    std::vector<std::size_t> order;
    while (!ready.empty()) {
        const std::size_t i = ready.top();
        ready.pop();
        order.push_back(i);
        for (std::size_t e : out_edges[i])
            if (--waiting[index[edges[e].to]] == 0)
                ready.push(index[edges[e].to]);
    }
    if (order.size() < nodes.size()) {
        problem = "signal loop; left out of the chain:";
        for (std::size_t i = 0; i < nodes.size(); ++i)
            if (waiting[i] > 0)
                problem += " " + (nodes[i]->name.empty() ? std::string(nodes[i]->cls->name->s_name)
                                                         : nodes[i]->name);
    }

    // Buffers, in chain order.
    std::map<std::pair<const Box*, int>, float*> written; // (box, outlet) -> buffer
    auto readers = [&](const Box* b, int o) {
        int count = 0;
        for (const Edge& e : edges)
            count += (e.from == b && e.outlet == o);
        return count;
    };
    for (std::size_t i : order) {
        Box* b = nodes[i];
        const int nin = b->signal_inlets;
        std::vector<float*> in(static_cast<std::size_t>(nin));
        std::vector<bool> private_in(static_cast<std::size_t>(nin), false);
        std::vector<short> counts;
        building_ = b;
        for (int c = 0; c < nin; ++c) {
            std::vector<float*> sources;
            std::vector<int> source_readers;
            for (const Edge& e : edges)
                if (e.to == b && e.inlet == c) {
                    sources.push_back(written.at({e.from, e.outlet}));
                    source_readers.push_back(readers(e.from, e.outlet));
                }
            counts.push_back(static_cast<short>(sources.size()));
            if (sources.empty()) {
                buffers_.push_back(make_signal_buffer(n));
                in[c] = buffers_.back().get();
            } else if (sources.size() == 1) {
                in[c] = sources[0];
                private_in[c] = source_readers[0] == 1;
            } else {
                buffers_.push_back(make_signal_buffer(n));
                in[c] = buffers_.back().get();
                private_in[c] = true;
                std::vector<void*> args{in[c], reinterpret_cast<void*>(n),
                                        reinterpret_cast<void*>(sources.size())};
                for (float* s : sources)
                    args.push_back(s);
                add(sum_perform, static_cast<long>(args.size()), args.data());
            }
        }
        std::vector<float*> out;
        int signal_outlet = 0;
        for (std::size_t o = 0; o < b->outlets.size(); ++o) {
            if (b->outlets[o]->kind != OutletKind::Signal)
                continue;
            float* buf = nullptr;
            const int k = signal_outlet++;
            if (!b->no_inplace() && k < nin && private_in[k]) {
                buf = in[k];
                private_in[k] = false;
            } else {
                buffers_.push_back(make_signal_buffer(n));
                buf = buffers_.back().get();
            }
            written[{b, static_cast<int>(o)}] = buf;
            out.push_back(buf);
            counts.push_back(static_cast<short>(b->outlets[o]->cords.size()));
        }

        std::vector<Signal> records;
        for (float* p : in)
            records.push_back({n, p, sr});
        for (float* p : out)
            records.push_back({n, p, sr});
        std::vector<Signal*> sp;
        for (Signal& s : records)
            sp.push_back(&s);
        const Method* m = b->cls->find(dsp);
        detail::DspCall call{sp.data(), counts.data()};
        m->thunk(m->fn, b->instance, &call);
    }
    building_ = nullptr;
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
