// SPDX-License-Identifier: GPL-3.0-or-later
// Classes as a plug-in's main registers them, whatever host runs it: the class and method
// records, the table that holds them, and the checks setup and addmess make. Each host keeps one
// table (class_table) and builds what it needs of a class on top of the record.
#pragma once

#include <tovo/api.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovo::host {

struct Method {
    Symbol* selector;
    detail::Shape shape;
    std::vector<short> codes; // argument codes as the handler really declares them
    detail::ErasedFn fn;
    detail::Thunk thunk;
};

struct Class {
    Symbol* name;
    NewRoutine make = nullptr;
    detail::ErasedFn free_fn = nullptr;
    detail::FreeThunk free_thunk = nullptr;
    long size = 0;
    bool takes_signals = false;  // z_add_signalmethod was called
    bool builtin = false;        // one of the host's own classes, not from a plug-in
    std::vector<Method> methods; // in registration order

    const Method* find(Symbol* selector) const;
};

// Every class the process knows, and the one a plug-in's main is setting up. Classes are
// registered once per process, under the name of the library that registers them.
class TOVO_EXPORT ClassTable {
public:
    ClassTable() = default;
    ClassTable(const ClassTable&) = delete;
    ClassTable& operator=(const ClassTable&) = delete;

    // Runs a class's registration with `name` as the name it registers under, and returns the
    // class it set up (null when it set up none). A registration may run another one inside it
    // (a main that makes an instance of a library object): the outer one goes on after.
    Class* define(const char* name, int (*registration)());

    Class* find(Symbol* name) const;
    const std::vector<Class*>& classes() const { return order_; } // in registration order
    // The class a main is setting up; null outside a main.
    Class* registering() const { return registering_; }

    // What setup and addmess do: a class or a method that passes the checks is added, any
    // other is refused with a "bug:" line.
    void add_class(Class** slot, NewRoutine make, detail::ErasedFn free_fn, detail::FreeThunk thunk,
                   long size, const short* codes, int ncodes);
    void add_method(const char* selector, detail::Shape shape, detail::ErasedFn fn,
                    detail::Thunk thunk, const short* declared, int ndeclared, const short* derived,
                    int nderived);

private:
    std::map<Symbol*, std::unique_ptr<Class>> classes_;
    std::vector<Class*> order_;
    Class* registering_ = nullptr;
    std::string loading_name_; // the name the running registration registers under
};

// The host's one table, which setup and addmess fill.
ClassTable& class_table();

} // namespace tovo::host
