// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.convert~: carries a field from one channel convention to another (the package's
// channels, ambiX, N3D, FuMa). One signal inlet per channel of the "from" side, one signal
// outlet per channel of the "to" side; each outlet is one inlet times a constant, or silence.
#include "conventions.hpp"
#include "plugin_glue.hpp"
#include "weights.hpp"
#include <tovo/api.hpp>

#include <charconv>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

struct AmbiConvert {
    SignalObject z;
    AmbiFormat format;
    std::int32_t from; // Convention of the inlets
    std::int32_t to;   // Convention of the outlets
    Conversion conversion;
    void** dsp_args; // perform arguments of the last "dsp"; released at the next one
};
static_assert(std::is_standard_layout_v<AmbiConvert> &&
              std::is_trivially_default_constructible_v<AmbiConvert>);

Class* ambi_convert_class;

constexpr const char* CLASS_NAME = "tovo.ambi.convert~";

// A factor as the host prints floats: the shortest text that reads back to the same value.
void factor_text(double factor, char (&text)[32]) {
    auto [end, ec] = std::to_chars(text, text + sizeof text - 2, static_cast<float>(factor));
    if (ec != std::errc{})
        end = text;
    if (std::string_view(text, static_cast<std::size_t>(end - text)).find_first_of(".en") ==
        std::string_view::npos)
        *end++ = '.';
    *end = '\0';
}

const char* order_suffix(std::int32_t order) {
    return order == 1 ? "st" : order == 2 ? "nd" : "rd";
}

void* ambi_convert_new(Symbol*, short argc, Atom* argv) {
    Convention sides[2] = {CONVENTION_TOVO, CONVENTION_AMBIX};
    int named = 0;        // convention words read so far: the first is "from", the second "to"
    bool refused = false; // after the first word refused, one error line and no box
    const AmbiFormat format = read_creation_format(argc, argv, [&](const Atom& a) {
        if (refused || a.a_type != A_SYM)
            return;
        const char* word = a.a_w.w_sym->s_name;
        const ConventionWord* c = find_convention_word(word);
        // A mistyped word would otherwise convert silently into the wrong convention.
        if (!c) {
            error("%s: unknown word \"%s\": give the format and two of tovo, ambix, n3d, fuma",
                  CLASS_NAME, word);
            refused = true;
        } else if (named == 2) {
            error("%s: \"%s\" is a third convention: give two, from and to", CLASS_NAME, word);
            refused = true;
        } else {
            sides[named++] = c->convention;
        }
    });
    if (refused)
        return nullptr;

    auto* x = static_cast<AmbiConvert*>(newobject(ambi_convert_class));
    if (!x)
        return nullptr;
    x->format = format;
    x->from = sides[0];
    x->to = sides[1];
    x->conversion = make_conversion(x->format, sides[0], sides[1]);
    z_dsp_setup(&x->z, static_cast<short>(x->conversion.input_count));
    for (std::int32_t j = 0; j < x->conversion.output_count; ++j)
        outlet_new(x, "signal");
    // An outlet may take an inlet other than its own, which an earlier outlet may have written.
    x->z.z_misc = Z_NO_INPLACE;
    return x;
}

void ambi_convert_free(AmbiConvert* x) {
    z_dsp_free(&x->z);
    free_perform_args(x->dsp_args);
}

void ambi_convert_dump(AmbiConvert* x) {
    const AmbiFormat& f = x->format;
    const Conversion& c = x->conversion;
    const auto from = static_cast<Convention>(x->from);
    const auto to = static_cast<Convention>(x->to);
    post("--- properties of ambi.convert~:");
    post("%ld-D %ld%s order, from %s (%ld channels) to %s (%ld channels)",
         static_cast<long>(f.dimension), static_cast<long>(f.order), order_suffix(f.order),
         convention_word(from), static_cast<long>(c.input_count), convention_word(to),
         static_cast<long>(c.output_count));
    post("output\tinput\tfactor");
    for (std::int32_t j = 0; j < c.output_count; ++j) {
        const ConventionChannel out = convention_channel(to, f, j);
        const ChannelRoute r = c.routes[j];
        if (r.source == NO_SOURCE) {
            post("%ld %s\t-\t0.", static_cast<long>(j), out.name);
            continue;
        }
        char factor[32];
        factor_text(r.factor, factor);
        post("%ld %s\t%ld %s\t%s", static_cast<long>(j), out.name, static_cast<long>(r.source),
             convention_channel(from, f, r.source).name, factor);
    }
}

// Arguments: instance, vector length, entry count, the input_count inlet vectors, then the
// output_count outlet vectors.
std::intptr_t* ambi_convert_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiConvert*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const Conversion& c = x->conversion;
    const float* in[MAX_CHANNELS];
    float* out[MAX_CHANNELS];
    perform_vectors(w, c.input_count, in, c.output_count, out);
    convert_vector(c, in, out, n);
    return w + entries + 1;
}

void ambi_convert_dsp(AmbiConvert* x, Signal** sp, short*) {
    add_perform(x, x->dsp_args, ambi_convert_perform, sp,
                x->conversion.input_count + x->conversion.output_count);
}

void ambi_convert_assist(AmbiConvert* x, void*, long kind, long index, char* text) {
    const bool inlet = kind == 1;
    if ((kind != 1 && kind != 2) || index < 0)
        return;
    const auto side = static_cast<Convention>(inlet ? x->from : x->to);
    if (index >= (inlet ? x->conversion.input_count : x->conversion.output_count))
        return;
    const ConventionChannel c =
        convention_channel(side, x->format, static_cast<std::int32_t>(index));
    sprintf(text, "%s channel %s (signal)", convention_word(side), c.name);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_convert_class, ambi_convert_new, ambi_convert_free, sizeof(AmbiConvert), 0, A_GIMME,
          0);
    addmess(ambi_convert_dump, "dump", 0);
    addmess(ambi_convert_dsp, "dsp", A_CANT, 0);
    addmess(ambi_convert_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 1;
}
