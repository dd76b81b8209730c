// SPDX-License-Identifier: GPL-3.0-or-later
// The patch runtime: boxes, cords, typed message delivery and the signal chain's life.
#include "host/runtime.hpp"

#include "host/inline_buffer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace tovo::host {

namespace {

thread_local Runtime* t_current = nullptr;

// Nested sends deeper than this are dropped: a cord loop between objects ends here.
constexpr int MAX_DEPTH = 1000;
constexpr std::size_t INSTANCE_ALIGN = 64;
// What one message copies without an allocation: its atoms, when it comes from outside the
// patch, and an outlet's cords as it leaves.
constexpr std::size_t ATOMS_ON_STACK = 16;
constexpr std::size_t CORDS_ON_STACK = 8;

} // namespace

bool Box::no_inplace() const {
    return signal_object && (static_cast<const SignalObject*>(instance)->z_misc & Z_NO_INPLACE);
}

CurrentRuntime::CurrentRuntime(Runtime* rt) : previous_(t_current) {
    t_current = rt;
}

CurrentRuntime::~CurrentRuntime() {
    t_current = previous_;
}

Runtime* Runtime::current() {
    return t_current;
}

Runtime::Runtime(std::filesystem::path externals, ConsoleSink sink)
    : externals_(std::move(externals)), sink_(std::move(sink)) {
    CurrentRuntime here(this);
    Registry::instance().ensure_builtins();
}

Runtime::~Runtime() {
    CurrentRuntime here(this);
    chain_.reset();
    while (!boxes_.empty())
        release(boxes_.back().get());
}

void Runtime::print(std::string_view line) {
    // A perform routine may print on the signal thread while a handler prints here.
    std::lock_guard<std::mutex> hold(console_mutex_);
    if (line.starts_with("error: "))
        ++error_lines_;
    if (sink_)
        sink_(line);
}

long Runtime::error_lines() const {
    std::lock_guard<std::mutex> hold(console_mutex_);
    return error_lines_;
}

Box* Runtime::box(const std::string& name) const {
    const auto it = names_.find(name);
    return it == names_.end() ? nullptr : it->second;
}

Box* Runtime::create(const std::string& name, const std::string& cls, std::span<const Atom> args,
                     std::string& why) {
    CurrentRuntime here(this);
    if (args.size() > MAX_MESSAGE_ATOMS) {
        why = "more than " + std::to_string(MAX_MESSAGE_ATOMS) + " creation arguments";
        return nullptr;
    }
    if (box(name)) {
        why = "a box named \"" + name + "\" exists already";
        return nullptr;
    }
    Lookup found = Registry::instance().find_or_load(cls, externals_);
    if (!found.cls) {
        why = found.problem;
        return nullptr;
    }
    return make(found.cls, name, args, why);
}

Box* Runtime::make(Class* cls, const std::string& name, std::span<const Atom> args,
                   std::string& why) {
    std::vector<Atom> argv(args.begin(), args.end());
    const long first = next_serial_;
    void* x = cls->make(cls->name, static_cast<short>(argv.size()), argv.data());

    Box* made = nullptr;
    // Whatever newobject handed out during this creation and nobody claimed is released
    // without its free routine: the object never came to exist.
    std::vector<Box*> fresh;
    for (auto it = boxes_.rbegin(); it != boxes_.rend() && (*it)->serial >= first; ++it)
        if (!(*it)->adopted)
            fresh.push_back(it->get());
    for (Box* b : fresh) {
        if (x && b->instance == x)
            made = b;
        else
            release(b);
    }
    if (!made) {
        why = std::string(cls->name->s_name) +
              (x ? ": creation returned an object the host did not make"
                 : ": creation failed, no box made");
        return nullptr;
    }
    made->adopted = true;
    made->name = name;
    if (!name.empty())
        names_[name] = made;
    if (made->signal_object)
        mark_dirty();
    return made;
}

void* Runtime::new_instance(Symbol* cls, short argc, Atom* argv) {
    CurrentRuntime here(this);
    Lookup found = Registry::instance().find_or_load(cls->s_name, externals_);
    if (!found.cls)
        return nullptr;
    std::string why;
    Box* b = make(found.cls, {}, std::span<const Atom>(argv, argv ? argc : 0), why);
    return b ? b->instance : nullptr;
}

bool Runtime::destroy(Box* box) {
    CurrentRuntime here(this);
    if (!places_.contains(box))
        return false;
    release(box);
    return true;
}

void Runtime::release(Box* box) {
    // Cords into the box, found through its feeders.
    for (Outlet* o : box->feeders)
        std::erase_if(o->cords, [&](const Cord& c) { return c.to == box; });
    box->feeders.clear();
    // The chain may hold the object's perform routine: it goes before the object does.
    if (box->signal_object || chain_)
        mark_dirty();
    Class* cls = box->cls;
    if (box->adopted && cls->free_thunk)
        cls->free_thunk(cls->free_fn, box->instance);
    const auto place = places_.find(box);
    if (place == places_.end())
        return; // the free routine released it already
    // Clocks its free routine left behind would fire into freed memory.
    if (box->clocks > 0)
        std::erase_if(clocks_, [&](const std::unique_ptr<Clock>& c) { return c->owner == box; });
    // Cords out of the box: their receivers forget them.
    for (const auto& o : box->outlets)
        for (const Cord& c : o->cords)
            if (auto f = std::find(c.to->feeders.begin(), c.to->feeders.end(), o.get());
                f != c.to->feeders.end())
                c.to->feeders.erase(f);
    if (box->adopted && !box->name.empty())
        names_.erase(box->name);
    ::operator delete(box->instance, std::align_val_t(INSTANCE_ALIGN));
    boxes_.erase(place->second);
    places_.erase(place);
}

bool Runtime::connect(Box* from, int outlet, Box* to, int inlet, std::string& why) {
    CurrentRuntime here(this);
    if (outlet < 0 || outlet >= static_cast<int>(from->outlets.size())) {
        why = "\"" + from->name + "\" has no outlet " + std::to_string(outlet);
        return false;
    }
    if (inlet < 0 || inlet >= to->inlet_count()) {
        why = "\"" + to->name + "\" has no inlet " + std::to_string(inlet);
        return false;
    }
    Outlet& o = *from->outlets[outlet];
    const bool signal_inlet = to->cls->takes_signals && inlet < to->signal_inlets;
    if (o.kind == OutletKind::Signal && !signal_inlet) {
        why = "outlet " + std::to_string(outlet) + " of \"" + from->name +
              "\" sends signals, inlet " + std::to_string(inlet) + " of \"" + to->name +
              "\" takes none";
        return false;
    }
    if (o.kind == OutletKind::Message && inlet >= to->message_inlets) {
        why = "inlet " + std::to_string(inlet) + " of \"" + to->name + "\" takes signals only";
        return false;
    }
    for (const Cord& c : o.cords)
        if (c.to == to && c.inlet == inlet) {
            why = "already connected";
            return false;
        }
    o.cords.push_back({to, inlet});
    to->feeders.push_back(&o);
    if (o.kind == OutletKind::Signal)
        mark_dirty();
    return true;
}

bool Runtime::disconnect(Box* from, int outlet, Box* to, int inlet, std::string& why) {
    CurrentRuntime here(this);
    if (outlet >= 0 && outlet < static_cast<int>(from->outlets.size())) {
        Outlet& o = *from->outlets[outlet];
        auto it = std::find_if(o.cords.begin(), o.cords.end(),
                               [&](const Cord& c) { return c.to == to && c.inlet == inlet; });
        if (it != o.cords.end()) {
            o.cords.erase(it);
            if (auto f = std::find(to->feeders.begin(), to->feeders.end(), &o);
                f != to->feeders.end())
                to->feeders.erase(f);
            if (o.kind == OutletKind::Signal)
                mark_dirty();
            return true;
        }
    }
    why = "no such cord";
    return false;
}

void Runtime::send(Box* box, Symbol* selector, std::span<const Atom> args) {
    CurrentRuntime here(this);
    if (args.size() > MAX_MESSAGE_ATOMS) {
        print("error: " + too_many_atoms(*box->cls, selector));
        return;
    }
    // Handlers take their atoms writable: they get a copy of the caller's.
    InlineBuffer<Atom, ATOMS_ON_STACK> argv(args.size());
    std::copy(args.begin(), args.end(), argv.data());
    deliver(box, 0, selector, static_cast<short>(argv.size()), argv.data());
}

void Runtime::deliver(Box* box, int inlet, Symbol* selector, short argc, Atom* argv) {
    if (depth_ == 0)
        overflowed_ = false;
    // Once a runaway has gone too deep, the rest of it is dropped as it unwinds: a loop with
    // fan-out would otherwise deliver to every branch it left behind, exponentially many.
    if (overflowed_)
        return;
    if (depth_ >= MAX_DEPTH) {
        print("error: stack overflow: messages nested deeper than " + std::to_string(MAX_DEPTH) +
              " were dropped");
        overflowed_ = true;
        return;
    }
    const Method* m = find_handler(*box->cls, selector);
    if (!m) {
        print("error: " + not_understood(*box->cls, selector));
        return;
    }
    ++depth_;
    const int outer_inlet = current_inlet_;
    current_inlet_ = inlet;
    call_handler(*m, box->instance, selector, argc, argv);
    current_inlet_ = outer_inlet;
    --depth_;
}

bool Runtime::assist(Box* box, bool inlet, int index, std::string& text) {
    CurrentRuntime here(this);
    const int count = inlet ? box->inlet_count() : static_cast<int>(box->outlets.size());
    if (index < 0 || index >= count)
        return false;
    char buffer[TEXT_MAX] = {};
    if (const Method* m = box->cls->find(gensym("assist"));
        m && m->shape == detail::Shape::Assist) {
        detail::AssistCall call{box, inlet ? 1L : 2L, index, buffer};
        m->thunk(m->fn, box->instance, &call);
    }
    buffer[TEXT_MAX - 1] = '\0';
    text = buffer;
    return true;
}

void Runtime::set_vector_size(int n) {
    if (n != vector_size_) {
        vector_size_ = n;
        mark_dirty();
    }
}

void Runtime::set_sample_rate(double sr) {
    if (sr != sample_rate_) {
        base_ms_ = now_ms();
        base_samples_ = elapsed_samples_;
        sample_rate_ = sr;
        mark_dirty();
    }
}

void Runtime::mark_dirty() {
    chain_.reset();
    dirty_ = true;
}

void Runtime::rebuild() {
    chain_.reset();
    std::vector<Box*> list;
    for (const auto& b : boxes_)
        if (b->adopted && b->signal_object && b->cls->takes_signals)
            list.push_back(b.get());
    auto chain = std::make_unique<DspChain>();
    building_ = chain.get();
    std::string problem;
    chain->build(list, vector_size_, sample_rate_, problem);
    building_ = nullptr;
    if (!problem.empty())
        print("error: " + problem);
    chain_ = std::move(chain);
    dirty_ = false;
}

void Runtime::run(long vectors) {
    CurrentRuntime here(this);
    if (dirty_)
        rebuild();
    for (long v = 0; v < vectors && !stop_requested(); ++v) {
        fire_clocks();
        if (chain_ && !chain_->stopped()) {
            std::string problem;
            if (!chain_->tick(problem))
                print("error: " + problem);
        }
        elapsed_samples_ += vector_size_;
    }
}

void Runtime::prepare_signal() {
    CurrentRuntime here(this);
    if (dirty_)
        rebuild();
}

bool Runtime::tick_signal() {
    CurrentRuntime here(this);
    if (!chain_ || chain_->stopped())
        return false;
    std::string problem;
    if (chain_->tick(problem))
        return true;
    print("error: " + problem);
    return false;
}

double Runtime::now_ms() const {
    return base_ms_ + static_cast<double>(elapsed_samples_ - base_samples_) * 1000.0 / sample_rate_;
}

// Fires every clock due by now, earliest first and, at equal times, in the order they were set.
// A clock set again while this runs waits for the next boundary, so a zero delay cannot spin.
void Runtime::fire_clocks() {
    const double now = now_ms();
    const long limit = next_clock_serial_;
    for (;;) {
        Clock* next = nullptr;
        for (const auto& c : clocks_)
            if (c->armed && c->serial < limit && c->due_ms <= now &&
                (!next || c->due_ms < next->due_ms ||
                 (c->due_ms == next->due_ms && c->serial < next->serial)))
                next = c.get();
        if (!next)
            return;
        next->armed = false;
        next->thunk(next->fn, next->owner->instance);
    }
}

// --- host API back ends ---------------------------------------------------------------------

void* Runtime::api_newobject(Class* c) {
    if (!c)
        return nullptr;
    const std::size_t size =
        (static_cast<std::size_t>(c->size) + INSTANCE_ALIGN - 1) / INSTANCE_ALIGN * INSTANCE_ALIGN;
    void* mem = ::operator new(size, std::align_val_t(INSTANCE_ALIGN));
    std::memset(mem, 0, size);
    auto box = std::make_unique<Box>();
    box->cls = c;
    box->instance = mem;
    box->serial = next_serial_++;
    static_cast<Object*>(mem)->o_box = box.get();
    Box* b = box.get();
    boxes_.push_back(std::move(box));
    places_[b] = std::prev(boxes_.end());
    return mem;
}

void Runtime::api_freeobject(void* x) {
    if (Box* b = box_of(x))
        release(b);
}

Outlet* Runtime::api_outlet(void* x, OutletKind kind) {
    Box* b = box_of(x);
    if (!b)
        return nullptr;
    // Each new outlet stands to the left of those made before it.
    b->outlets.insert(b->outlets.begin(), std::make_unique<Outlet>(Outlet{b, kind, {}}));
    return b->outlets.front().get();
}

void Runtime::api_outlet_send(Outlet* o, Symbol* s, short argc, Atom* argv) {
    if (!o || o->kind != OutletKind::Message)
        return;
    // A receiver may edit the patch while the message travels: it goes along a copy of the cords.
    InlineBuffer<Cord, CORDS_ON_STACK> cords(o->cords.size());
    std::copy(o->cords.begin(), o->cords.end(), cords.data());
    for (const Cord& c : cords)
        deliver(c.to, c.inlet, s, argc, argv);
}

void Runtime::api_dsp_setup(void* x, short inlets) {
    if (Box* b = box_of(x)) {
        b->signal_object = true;
        b->signal_inlets = inlets > 0 ? inlets : 0;
    }
}

Clock* Runtime::api_clock_new(void* x, detail::ErasedFn fn, detail::FreeThunk thunk) {
    Box* b = box_of(x);
    if (!b || !fn)
        return nullptr;
    clocks_.push_back(std::make_unique<Clock>(Clock{b, fn, thunk}));
    ++b->clocks;
    return clocks_.back().get();
}

void Runtime::api_clock_delay(Clock* c, double ms) {
    if (!c)
        return;
    c->armed = true;
    c->due_ms = now_ms() + (ms > 0 ? ms : 0);
    c->serial = next_clock_serial_++;
}

void Runtime::api_clock_unset(Clock* c) {
    if (c)
        c->armed = false;
}

void Runtime::api_clock_free(Clock* c) {
    const auto it = std::find_if(clocks_.begin(), clocks_.end(),
                                 [&](const std::unique_ptr<Clock>& k) { return k.get() == c; });
    if (it == clocks_.end())
        return;
    --(*it)->owner->clocks;
    clocks_.erase(it);
}

void Runtime::api_inlet_new(void* x) {
    if (Box* b = box_of(x))
        ++b->message_inlets;
}

void Runtime::api_dsp_addv(PerformRoutine perform, long n, void** args) {
    if (!building_ || !perform || (n > 0 && !args)) {
        bug("dsp_addv outside a \"dsp\" message or without a routine");
        return;
    }
    building_->add(perform, n, args);
}

} // namespace tovo::host
