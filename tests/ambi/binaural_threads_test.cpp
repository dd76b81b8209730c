// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.binaural~ opens sets, changes its gain and reports on one thread while its chain
// runs on another: every handed-over set is taken at a vector boundary and freed on the message
// side once the signal thread has let it go, and the ears never carry a non-finite sample.
// make tsan runs this under ThreadSanitizer too.
#include "ambi/hrir_set.hpp"
#include "host/registry.hpp"
#include "support/patch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace tovo;
using namespace tovo::host;
using tovo::testing::Patch;

// test.watch~: two signal inlets; counts the samples it sees and those that are not finite or
// beyond any level the patch can make.
struct Watch {
    SignalObject z;
};
Class* watch_class;
std::atomic<long> g_samples{0}, g_bad{0};

void* watch_new(Symbol*, short, Atom*) {
    auto* x = static_cast<Watch*>(newobject(watch_class));
    z_dsp_setup(&x->z, 2);
    return x;
}

std::intptr_t* watch_perform(std::intptr_t* w) {
    const long n = static_cast<long>(w[2]);
    for (int ear = 0; ear < 2; ++ear) {
        const auto* in = reinterpret_cast<const float*>(w[3 + ear]);
        for (long i = 0; i < n; ++i)
            if (!std::isfinite(in[i]) || std::fabs(in[i]) > 100.0f)
                g_bad.fetch_add(1);
    }
    g_samples.fetch_add(2 * n);
    return w + 5;
}

void watch_dsp(Watch* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec, sp[1]->s_vec};
    dsp_addv(watch_perform, 4, args);
}

int watch_main() {
    setup(&watch_class, watch_new, z_dsp_free, sizeof(Watch), 0, A_GIMME, 0);
    addmess(watch_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

TEST(BinauralThreads, SetsChangeHandsWhileTheChainRuns) {
    static const bool defined = (Registry::instance().define("test.watch~", watch_main), true);
    (void)defined;
    const auto copy = std::filesystem::temp_directory_path() / "tovo-binaural-threads.sofa";
    std::filesystem::copy_file(ambi::DEFAULT_SOFA_PATH, copy,
                               std::filesystem::copy_options::overwrite_existing);

    Patch patch;
    patch.run("vectorsize 32\nnew src noise~ 2\nnew e tovo.ambi.encode~ 3d 3rd\n"
              "new b tovo.ambi.binaural~ 3d 3rd\nnew w test.watch~\nconnect src 0 e 0\n"
              "connect b 0 w 0\nconnect b 1 w 1\nsend e azimuth 0.8");
    for (int c = 0; c < 16; ++c)
        patch.run("connect e " + std::to_string(c) + " b " + std::to_string(c));
    // Both sets read once, so that the rounds below only hand them over.
    patch.run("send b open " + copy.string() + "\nsend b open " + ambi::DEFAULT_SOFA_PATH);
    ASSERT_EQ(patch.errors(), 0);

    Runtime& rt = patch.runtime();
    Box* b = rt.box("b");
    rt.prepare_signal();
    std::atomic<bool> stop{false};
    std::atomic<long> vectors{0};
    std::thread signal_thread([&] {
        while (!stop.load() && rt.tick_signal())
            vectors.fetch_add(1);
    });
    auto send = [&](const char* selector, const Atom& a) { rt.send(b, gensym(selector), {&a, 1}); };
    Atom set_a{}, set_b{}, gain{};
    atom_setsym(&set_a, gensym(copy.c_str()));
    atom_setsym(&set_b, gensym(ambi::DEFAULT_SOFA_PATH));
    for (int round = 0; round < 200; ++round) {
        send("open", round % 2 ? set_b : set_a);
        atom_setfloat(&gain, 0.5f + 0.001f * static_cast<float>(round));
        send("gain", gain);
        // Now and then let the chain take the set before the next one comes.
        if (round % 3 == 0) {
            const long seen = vectors.load();
            while (vectors.load() < seen + 2)
                std::this_thread::yield();
        }
    }
    const long seen = vectors.load();
    while (vectors.load() < seen + 8)
        std::this_thread::yield();
    stop.store(true);
    signal_thread.join();
    rt.send(b, gensym("dump"), {});

    EXPECT_GT(g_samples.load(), 0);
    EXPECT_EQ(g_bad.load(), 0);
    EXPECT_EQ(patch.errors(), 0);
    std::filesystem::remove(copy);
}

} // namespace
