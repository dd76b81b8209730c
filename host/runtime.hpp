// SPDX-License-Identifier: GPL-3.0-or-later
// The runtime of one patch: its boxes and cords, message delivery, the console and the signal
// chain. The host API's context-free calls (post, outlet_list, dsp_addv, ...) reach the
// runtime that is current on the calling thread; every public entry point makes itself current.
#pragma once

#include "host/dispatch.hpp"
#include "host/dsp.hpp"
#include "host/host_services.hpp"
#include "host/registry.hpp"
#include <tovo/api.hpp>

#include <csignal>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tovo::host {

enum class OutletKind { Signal, Message };

struct Cord {
    Box* to;
    int inlet;
};

struct Outlet {
    Box* owner;
    OutletKind kind;
    std::vector<Cord> cords; // fan-out in connection order
};

struct Box {
    Class* cls;
    void* instance;             // the object's record, zeroed, header first
    std::string name;           // empty for instances made by the host itself (newinstance)
    long serial;                // creation order; breaks ties in the signal chain
    bool signal_object = false; // z_dsp_setup was called: the record starts with SignalObject
    int signal_inlets = 0;
    int message_inlets = 1;                       // the left inlet, plus those of inlet_new
    std::vector<std::unique_ptr<Outlet>> outlets; // left to right
    std::vector<Outlet*> feeders;                 // one entry per cord that ends here
    int clocks = 0;                               // clocks it owns
    bool adopted = false;                         // the creation routine returned it
    std::unique_ptr<BoxExtension> extension;

    int inlet_count() const {
        return signal_inlets > message_inlets ? signal_inlets : message_inlets;
    }
    bool no_inplace() const;
};

struct Clock {
    Box* owner;
    detail::ErasedFn fn;
    detail::FreeThunk thunk;
    bool armed = false;
    double due_ms = 0; // logical time at which it fires
    long serial = 0;   // orders clocks due at the same time by when they were set
};

using ConsoleSink = std::function<void(std::string_view line)>;

class TOVO_EXPORT Runtime {
public:
    Runtime(std::filesystem::path externals, ConsoleSink sink);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    static Runtime* current();

    // Patch editing. Failures return false (or null) with a reason in `why`; nothing is printed
    // by these, so the caller can name the script line.
    Box* create(const std::string& name, const std::string& cls, std::span<const Atom> args,
                std::string& why);
    bool destroy(Box* box);
    bool connect(Box* from, int outlet, Box* to, int inlet, std::string& why);
    bool disconnect(Box* from, int outlet, Box* to, int inlet, std::string& why);
    Box* box(const std::string& name) const;
    const std::filesystem::path& externals() const { return externals_; }

    // A message into inlet 0 of a box, as a patch cord or a script would deliver it.
    void send(Box* box, Symbol* selector, std::span<const Atom> args);
    // The box's assist text; false when the index is out of range.
    bool assist(Box* box, bool inlet, int index, std::string& text);

    // Signal settings and processing.
    void set_vector_size(int n);
    void set_sample_rate(double sr);
    int vector_size() const { return vector_size_; }
    double sample_rate() const { return sample_rate_; }
    void run(long vectors);
    // Threaded mode: the chain on a thread of its own. prepare_signal() (re)builds the chain
    // where the patch changed; tick_signal() then runs one vector of it, from one other thread,
    // while this one goes on sending messages. It fires no clock, advances no logical time and
    // never rebuilds, so boxes and cords must stay as they are while that thread runs. False
    // when there is no chain or it has stopped.
    void prepare_signal();
    bool tick_signal();
    // Samples processed since the runtime started, and the logical time they make.
    long long elapsed_samples() const { return elapsed_samples_; }
    double now_ms() const;

    // Console: one line each, from any thread (the sink is called by one at a time).
    void print(std::string_view line);
    // Lines printed so far that start with "error: ": the run's verdict counts them.
    long error_lines() const;

    // A flag that a signal handler sets (to the signal's number). Once it is set, run() stops
    // at the next vector boundary; the caller then ends the run and frees the patch.
    void watch_stop(const volatile std::sig_atomic_t* flag) { stop_ = flag; }
    bool stop_requested() const { return stop_ && *stop_ != 0; }
    // Makes an instance that belongs to no patch box (the library objects of newinstance).
    void* new_instance(Symbol* cls, short argc, Atom* argv);

    // Host API back ends.
    void* api_newobject(Class* c);
    void api_freeobject(void* x);
    Outlet* api_outlet(void* x, OutletKind kind);
    void api_outlet_send(Outlet* o, Symbol* s, short argc, Atom* argv);
    void api_dsp_setup(void* x, short inlets);
    void api_dsp_addv(PerformRoutine perform, long n, void** args);
    Clock* api_clock_new(void* x, detail::ErasedFn fn, detail::FreeThunk thunk);
    void api_clock_delay(Clock* c, double ms);
    void api_clock_unset(Clock* c);
    void api_clock_free(Clock* c);
    void api_inlet_new(void* x);
    long api_current_inlet() const { return current_inlet_; }

private:
    friend class CurrentRuntime;
    Box* make(Class* cls, const std::string& name, std::span<const Atom> args, std::string& why);
    void release(Box* box);
    void deliver(Box* box, int inlet, Symbol* selector, short argc, Atom* argv);
    void mark_dirty();
    void rebuild();
    void fire_clocks();

    std::filesystem::path externals_;
    ConsoleSink sink_;
    mutable std::mutex console_mutex_;
    long error_lines_ = 0; // guarded by console_mutex_
    const volatile std::sig_atomic_t* stop_ = nullptr;
    // Boxes in creation order, unnamed instances included; each box's place in that list, and
    // the named boxes by name, so that lookup and freeing take constant time.
    std::list<std::unique_ptr<Box>> boxes_;
    std::unordered_map<const Box*, std::list<std::unique_ptr<Box>>::iterator> places_;
    std::unordered_map<std::string, Box*> names_;
    long next_serial_ = 0;
    int depth_ = 0; // nested sends
    bool overflowed_ = false;
    int vector_size_ = 64;
    double sample_rate_ = 48000;
    bool dirty_ = true;
    long long elapsed_samples_ = 0;
    double base_ms_ = 0;         // logical time at the last change of sample rate
    long long base_samples_ = 0; // samples at that change
    std::vector<std::unique_ptr<Clock>> clocks_;
    long next_clock_serial_ = 0;
    int current_inlet_ = 0;
    std::unique_ptr<DspChain> chain_;
    DspChain* building_ = nullptr; // the chain whose "dsp" messages are being sent
};

// Makes a runtime current on this thread for the life of the guard.
class TOVO_EXPORT CurrentRuntime {
public:
    explicit CurrentRuntime(Runtime* rt);
    ~CurrentRuntime();
    CurrentRuntime(const CurrentRuntime&) = delete;
    CurrentRuntime& operator=(const CurrentRuntime&) = delete;

private:
    Runtime* previous_;
};

} // namespace tovo::host
