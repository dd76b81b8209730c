// SPDX-License-Identifier: GPL-3.0-or-later
// The package's dispatch rule, shared by both hosts.
#include "host/dispatch.hpp"

#include "host/inline_buffer.hpp"

namespace tovo::host {

namespace {

// Typed arguments of one message that are converted without an allocation: handlers take a
// handful, and only one declaring more than fit costs an allocation per message.
constexpr std::size_t TYPED_ARGS_ON_STACK = 8;

} // namespace

const Method* own_handler(const Class& c, Symbol* selector) {
    const Method* m = c.find(selector);
    if (m && (m->shape == detail::Shape::Dsp || m->shape == detail::Shape::Assist))
        return nullptr;
    return m;
}

const Method* find_handler(const Class& c, Symbol* selector) {
    if (const Method* m = own_handler(c, selector))
        return m;
    static Symbol* const anything = gensym("anything"); // symbols live as long as the process
    const Method* any = c.find(anything);
    return any && any->shape == detail::Shape::Gimme ? any : nullptr;
}

void call_handler(const Method& m, void* x, Symbol* selector, short argc, Atom* argv) {
    if (m.shape != detail::Shape::Typed) {
        detail::GimmeCall call{selector, argc, argv};
        m.thunk(m.fn, x, &call);
        return;
    }
    const std::size_t given = argc > 0 ? static_cast<std::size_t>(argc) : 0;
    InlineBuffer<detail::Arg, TYPED_ARGS_ON_STACK> typed(m.codes.size());
    for (std::size_t i = 0; i < typed.size(); ++i)
        typed[i] = i < given ? detail::Arg{atom_to_long(argv[i]), atom_to_double(argv[i])}
                             : detail::Arg{0, 0.0};
    detail::TypedCall call{typed.data()};
    m.thunk(m.fn, x, &call);
}

std::string not_understood(const Class& c, Symbol* selector) {
    return std::string(c.name->s_name) + ": doesn't understand \"" + selector->s_name + "\"";
}

std::string too_many_atoms(const Class& c, Symbol* selector) {
    return std::string(c.name->s_name) + ": \"" + selector->s_name + "\" with more than " +
           std::to_string(MAX_MESSAGE_ATOMS) + " atoms was dropped";
}

} // namespace tovo::host
