// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-pd-check: the checks that run patches in a real, headless Pd and read what it prints.
//   doc    --pd PD --path DIR --work DIR SCRIPT EXPECTED
//          turns a doc example (a tovo script) into a Pd patch, runs it and compares each printed
//          line with the example's output, numbers at Pd's six digits
//   render --pd PD --path DIR --tovo TOVO --externals DIR --work DIR CASE
//          the same encoder -> decoder patch in Pd and in the tovo host, recorded and compared
//          sample for sample, bit for bit; `render --list` names the cases
//   run    --pd PD --path DIR PATCH [--expect LINE]...
//          a test patch that ends itself: no error line, and the expected lines in order
//   open   --pd PD --path DIR PATCH
//          opens a patch that does not end itself (a help patch, a live patch), runs its signal
//          chain a moment and closes it: every box made, no error line
#include "app/script.hpp"
#include "host/runtime.hpp"
#include "pd/tools/pd_patch.hpp"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using tovo::pd::Canvas;
using tovo::pd::escape;

struct Options {
    std::string pd = "pd", path, work = ".", tovo, externals;
    std::vector<std::string> expect, positional;
};

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    for (std::string_view w : tovo::app::split_tokens(line))
        out.emplace_back(w);
    return out;
}

bool is_error_line(const std::string& line) {
    return line.starts_with("error:") || line.find("couldn't create") != std::string::npos ||
           line.starts_with("bug:");
}

// The lines the patch printed, without Pd's own talk.
std::vector<std::string> patch_output(const Options& o, const std::string& patch, double sr) {
    int status = 0;
    std::vector<std::string> lines = tovo::pd::run_pd(o.pd, o.path, patch, sr, status);
    std::vector<std::string> out;
    for (std::string& l : lines)
        if (!tovo::pd::is_pd_chatter(l))
            out.push_back(std::move(l));
    if (status != 0)
        out.push_back("error: pd exited with status " + std::to_string(status));
    return out;
}

void show(const char* title, const std::vector<std::string>& lines) {
    std::fprintf(stderr, "%s\n", title);
    for (const std::string& l : lines)
        std::fprintf(stderr, "  | %s\n", l.c_str());
}

// --- doc examples as Pd patches -------------------------------------------------------------

// A token as a number, when it is one ("1.", "-0.", "1e-07", "0.000000"; not "1st").
bool number_of(const std::string& token, double& value) {
    char* end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return !token.empty() && end == token.c_str() + token.size() &&
           (std::isdigit(static_cast<unsigned char>(token[0])) || token[0] == '-' ||
            token[0] == '+' || token[0] == '.');
}

// A line as Pd shows it: numbers as single-precision floats at six significant digits.
std::string at_pd_precision(const std::string& line) {
    std::string out;
    for (const std::string& w : words(line)) {
        double v = 0;
        std::string token = w;
        if (number_of(w, v)) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(static_cast<float>(v)));
            token = text;
        }
        if (!out.empty())
            out += ' ';
        out += token;
    }
    return out;
}

// One of the tovo host's own classes, which Pd does not load from the package.
bool is_builtin(const std::string& name) {
    tovo::host::Runtime rt(fs::path(), nullptr);
    const tovo::host::Class* c =
        tovo::host::Registry::instance().find(tovo::host::gensym(name.c_str()));
    return c && c->builtin;
}

// Turns a tovo script into a Pd patch: each box, a receiver per box for the script's messages,
// and a sequence of message boxes that a chain of delays fires one signal vector apart.
bool doc_patch(const std::string& script, std::string& patch, double& sample_rate,
               std::string& why) {
    std::ifstream in(script);
    if (!in) {
        why = "can't read " + script;
        return false;
    }
    Canvas top;
    struct Box {
        int index; // the object its cords and messages reach
        bool printer = false;
    };
    std::map<std::string, Box> boxes;
    std::vector<std::string> printers; // print~ boxes in creation order
    std::vector<std::string> steps(1); // message texts, one vector apart
    int vector = 64;
    bool dsp_on = false;
    sample_rate = 48000;
    std::string line;
    int number = 0, y = 60;
    while (std::getline(in, line)) {
        ++number;
        const std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (w[0] == "new" && w.size() >= 3) {
            const std::string& name = w[1];
            std::string text;
            for (std::size_t i = 2; i < w.size(); ++i) {
                if (i > 2)
                    text += ' ';
                text += escape(w[i]);
            }
            Box b{};
            if (w[2] == "print~") {
                // The host's print~ shows each vector: record one into a table, then print it.
                const std::string table = "tovo-vector-" + name;
                top.array(table, vector);
                b.index = top.object(20, y, "tabwrite~ " + escape(table));
                const int rec = top.object(200, y, "r " + escape("tovo-record-" + name));
                top.connect(rec, 0, b.index, 0);
                const int show = top.object(350, y, "r " + escape("tovo-show-" + name));
                const int get = top.object(350, y + 25, "array get " + escape(table));
                const int print =
                    top.object(350, y + 50, "print " + escape(w.size() > 3 ? w[3] : "print~"));
                top.connect(show, 0, get, 0);
                top.connect(get, 0, print, 0);
                b.printer = true;
                printers.push_back(name);
            } else if (w[2] == "print" || w[2] == "sig~" || !is_builtin(w[2])) {
                // Pd's print and sig~ do what the host's do; every other class is the package's.
                b.index = top.object(20, y, text);
            } else {
                why = where + "no Pd counterpart for the tovo host's built-in " + w[2];
                return false;
            }
            const int r = top.object(200, y, "r " + escape("tovo-box-" + name));
            if (!b.printer)
                top.connect(r, 0, b.index, 0);
            boxes[name] = b;
            y += 80;
        } else if (w[0] == "connect" && w.size() == 5) {
            if (!boxes.count(w[1]) || !boxes.count(w[3])) {
                why = where + "no such box";
                return false;
            }
            top.connect(boxes[w[1]].index, std::stoi(w[2]), boxes[w[3]].index, std::stoi(w[4]));
        } else if (w[0] == "send" && w.size() >= 3) {
            std::string text = "\\; " + escape("tovo-box-" + w[1]);
            for (std::size_t i = 2; i < w.size(); ++i)
                text += " " + escape(w[i]);
            steps.back() += " " + text;
        } else if (w[0] == "vectorsize" && w.size() == 2) {
            vector = std::stoi(w[1]);
        } else if (w[0] == "samplerate" && w.size() == 2) {
            sample_rate = std::stod(w[1]);
        } else if (w[0] == "dsp" && w.size() == 2) {
            if (!dsp_on)
                steps.back() += " \\; pd dsp 1";
            dsp_on = true;
            for (int v = 0; v < std::stoi(w[1]); ++v) {
                for (const std::string& p : printers)
                    steps.back() += " \\; " + escape("tovo-record-" + p) + " bang";
                steps.emplace_back();
                for (const std::string& p : printers)
                    steps.back() += " \\; " + escape("tovo-show-" + p) + " bang";
            }
        } else {
            why = where + "no Pd counterpart for \"" + line + "\"";
            return false;
        }
    }
    steps.back() += " \\; pd quit";
    // The script's vector size as the patch's block size. Pd's clocks fire between its 64-sample
    // ticks only, so the steps stay a tick apart, and a recording of a smaller block holds the
    // first block after each step's messages, as the tovo host's next vector would.
    if (vector != 64)
        top.object(10, 10, "block~ " + std::to_string(vector));
    // loadbang -> step 0, and a delay of one tick before each further step.
    int previous = top.object(600, 20, "loadbang");
    int sy = 60;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (i > 0) {
            const int d = top.object(600, sy, "delay 64 1 samp");
            top.connect(previous, 0, d, 0);
            previous = d;
            sy += 30;
        }
        const int m = top.message(620, sy, steps[i].empty() ? "" : steps[i].substr(1));
        top.connect(previous, 0, m, 0);
        sy += 30;
    }
    patch = tovo::pd::patch_file(top);
    return true;
}

int check_doc(const Options& o) {
    if (o.positional.size() != 2)
        return 2;
    const std::string& script = o.positional[0];
    std::string patch, why;
    double sr = 48000;
    if (!doc_patch(script, patch, sr, why)) {
        std::fprintf(stderr, "FAIL %s: %s\n", script.c_str(), why.c_str());
        return 1;
    }
    const fs::path file = fs::path(o.work) / ("doc-" + fs::path(script).stem().string() + ".pd");
    std::ofstream(file) << patch;
    const std::vector<std::string> got = patch_output(o, file.string(), sr);
    std::vector<std::string> want;
    std::ifstream expected(o.positional[1]);
    for (std::string l; std::getline(expected, l);)
        want.push_back(l);
    bool same = got.size() == want.size();
    for (std::size_t i = 0; same && i < got.size(); ++i)
        same = at_pd_precision(got[i]) == at_pd_precision(want[i]);
    if (!same) {
        std::fprintf(stderr, "FAIL %s in Pd (%s)\n", script.c_str(), file.c_str());
        show("expected, at Pd's precision:", [&] {
            std::vector<std::string> v;
            for (const auto& l : want)
                v.push_back(at_pd_precision(l));
            return v;
        }());
        show("Pd printed:", got);
        return 1;
    }
    std::printf("ok %s: %zu lines as the tovo host prints them\n", script.c_str(), got.size());
    return 0;
}

// --- encoder -> decoder, bit for bit ----------------------------------------------------------

struct RenderCase {
    const char* name;
    const char* encoder;                // creation words
    std::vector<const char*> enc_sends; // messages to the encoder
    const char* decoder;
    std::vector<const char*> dec_sends;
};

const std::vector<RenderCase>& render_cases() {
    static const std::vector<RenderCase> cases = {
        {"2d-1st", "2d 1st", {"azimuth 0.6"}, "2d 1st 4", {}},
        {"2d-2nd", "2d 2nd degrees", {"azimuth 130.5"}, "2d 2nd 6 max-rE", {"width 0.8"}},
        {"2d-3rd",
         "2d 3rd",
         {"azimuth -2.2"},
         "2d 3rd 8 in-phase",
         {"gain 0.75", "speaker 3 100.5 0"}},
        {"3d-1st",
         "3d 1st",
         {"azimuth 1.1", "elevation 0.4"},
         "3d 1st 8",
         {"speaker 0 -30 20", "speaker 5 100 -30", "gain 0.7"}},
        {"3d-2nd",
         "3d 2nd degrees",
         {"azimuth -75.25", "elevation -20.5"},
         "3d 2nd 12 none",
         {"weights 1 0.9 0.5", "width 0.65"}},
        {"3d-3rd",
         "3d 3rd",
         {"azimuth 2.8", "elevation 0.9"},
         "3d 3rd 16 max-rE",
         {"gain -1.5", "width 0.3", "speaker 2 45 45", "speaker_radians 9 -1.2 -0.5"}},
    };
    return cases;
}

int speaker_count(const char* decoder) {
    int n = 2;
    for (const std::string& w : words(decoder))
        if (!w.empty() && std::isdigit(static_cast<unsigned char>(w[0])) &&
            w.find('.') == std::string::npos && !std::isalpha(static_cast<unsigned char>(w.back())))
            n = std::stoi(w);
    return n;
}

constexpr int RENDER_FRAMES = 64 * 48; // 64 ms at 48 kHz, a whole number of vectors

// A source that exercises every sample: a rising tone with a little pseudo-random noise.
bool write_source(const fs::path& file) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    std::vector<float> s(RENDER_FRAMES);
    unsigned state = 12345;
    for (int i = 0; i < RENDER_FRAMES; ++i) {
        state = state * 1103515245u + 12345u;
        const double noise = static_cast<double>((state >> 9) & 0xffff) / 65536.0 - 0.5;
        s[i] = static_cast<float>(0.6 * std::sin(0.002 * i * i / 48.0) + 0.2 * noise);
    }
    sf_writef_float(f, s.data(), RENDER_FRAMES);
    sf_close(f);
    return true;
}

bool read_all(const fs::path& file, std::vector<float>& samples, int& channels, std::string& why) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) {
        why = "can't read " + file.string();
        return false;
    }
    channels = info.channels;
    samples.assign(static_cast<std::size_t>(info.frames * info.channels), 0.0f);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    return true;
}

int check_render(const Options& o) {
    if (o.positional.size() == 1 && o.positional[0] == "--list") {
        for (const RenderCase& c : render_cases())
            std::printf("%s\n", c.name);
        return 0;
    }
    if (o.positional.size() != 1 || o.tovo.empty())
        return 2;
    const RenderCase* c = nullptr;
    for (const RenderCase& k : render_cases())
        if (o.positional[0] == k.name)
            c = &k;
    if (!c) {
        std::fprintf(stderr, "no render case %s\n", o.positional[0].c_str());
        return 2;
    }
    const fs::path dir = fs::path(o.work) / c->name;
    fs::create_directories(dir);
    if (!write_source(dir / "source.wav")) {
        std::fprintf(stderr, "FAIL %s: can't write the source\n", c->name);
        return 1;
    }
    const int speakers = speaker_count(c->decoder);

    // The tovo host: the file played, encoded, decoded and recorded.
    std::ostringstream script;
    script << "new src sfplay~ source.wav\nnew enc tovo.ambi.encode~ " << c->encoder
           << "\nnew dec tovo.ambi.decode~ " << c->decoder << "\nnew rec sfrecord~ tovo.wav "
           << speakers << "\nconnect src 0 enc 0\n";
    Canvas top;
    const int load = top.object(20, 10, "loadbang");
    const int read = top.message(20, 40, "read -resize source.wav source");
    const int filer = top.object(20, 70, "soundfiler");
    top.connect(load, 0, read, 0);
    top.connect(read, 0, filer, 0);
    top.array("source", RENDER_FRAMES);
    const int play = top.object(20, 120, "tabplay~ source");
    const int enc = top.object(20, 160, "tovo.ambi.encode~ " + tovo::pd::escape_text(c->encoder));
    const int dec = top.object(20, 220, "tovo.ambi.decode~ " + tovo::pd::escape_text(c->decoder));
    top.connect(play, 0, enc, 0);
    const int go = top.object(300, 120, "r tovo-go");
    top.connect(go, 0, play, 0);
    int channels = 0;
    for (const std::string& w : words(c->encoder))
        channels = w == "3d" ? 1 : channels;
    const int order = std::string(c->encoder).find("3rd") != std::string::npos   ? 3
                      : std::string(c->encoder).find("2nd") != std::string::npos ? 2
                                                                                 : 1;
    channels = channels ? (order + 1) * (order + 1) : 2 * order + 1;
    for (int k = 0; k < channels; ++k) {
        top.connect(enc, k, dec, k);
        script << "connect enc " << k << " dec " << k << "\n";
    }
    std::string write = "write -wave -bytes 4 pd.wav";
    for (int k = 0; k < speakers; ++k) {
        const std::string table = "out" + std::to_string(k);
        top.array(table, RENDER_FRAMES);
        const int rec = top.object(20 + 60 * k, 300, "tabwrite~ " + table);
        top.connect(dec, k, rec, 0);
        top.connect(go, 0, rec, 0);
        write += " " + table;
        script << "connect dec " << k << " rec " << k << "\n";
    }
    std::string start;
    for (const char* m : c->enc_sends) {
        start += "\\; tovo-enc " + tovo::pd::escape_text(m) + " ";
        script << "send enc " << m << "\n";
    }
    for (const char* m : c->dec_sends) {
        start += "\\; tovo-dec " + tovo::pd::escape_text(m) + " ";
        script << "send dec " << m << "\n";
    }
    const int renc = top.object(300, 160, "r tovo-enc");
    const int rdec = top.object(300, 220, "r tovo-dec");
    top.connect(renc, 0, enc, 0);
    top.connect(rdec, 0, dec, 0);
    // After the file is read: the settings, then signal and recording from the next vector on.
    const int begin = top.message(200, 70, start + "\\; pd dsp 1 \\; tovo-go bang");
    top.connect(filer, 0, begin, 0);
    const int wait = top.object(450, 10, "delay " + std::to_string(RENDER_FRAMES + 64) + " 1 samp");
    top.connect(load, 0, wait, 0);
    const int save = top.message(450, 40, write);
    top.connect(wait, 0, save, 0);
    const int filer2 = top.object(450, 70, "soundfiler");
    top.connect(save, 0, filer2, 0);
    const int quit = top.message(450, 100, "\\; pd quit");
    top.connect(filer2, 0, quit, 0);
    script << "send src 1\nsend rec 1\ndsp " << RENDER_FRAMES / 64 << "\nsend rec 0\n";

    std::ofstream(dir / "render.pd") << tovo::pd::patch_file(top);
    std::ofstream(dir / "render.tovo") << script.str();
    const std::vector<std::string> pd_lines = patch_output(o, (dir / "render.pd").string(), 48000);
    const std::string command = "cd '" + dir.string() + "' && '" + o.tovo + "' --externals '" +
                                o.externals + "' render.tovo 2>&1";
    const int tovo_status = std::system(command.c_str());
    std::vector<float> a, b;
    int ca = 0, cb = 0;
    std::string why;
    bool ok = tovo_status == 0 && read_all(dir / "pd.wav", a, ca, why) &&
              read_all(dir / "tovo.wav", b, cb, why);
    for (const std::string& l : pd_lines)
        if (is_error_line(l))
            ok = false, why = "Pd printed an error";
    if (ok && (ca != speakers || cb != speakers || a.size() != b.size())) {
        ok = false;
        why = "Pd wrote " + std::to_string(ca) + " channels of " +
              std::to_string(ca ? a.size() / ca : 0) + " frames, the tovo host " +
              std::to_string(cb) + " of " + std::to_string(cb ? b.size() / cb : 0);
    }
    bool silent = true;
    for (std::size_t i = 0; ok && i < a.size(); ++i) {
        silent = silent && a[i] == 0.0f;
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            char text[160];
            std::snprintf(text, sizeof text, "frame %zu, speaker %zu: Pd %.9g, tovo %.9g",
                          i / speakers, i % speakers, a[i], b[i]);
            ok = false;
            why = text;
        }
    }
    if (ok && silent)
        ok = false, why = "both renders are silent";
    if (!ok) {
        std::fprintf(stderr, "FAIL render %s: %s (in %s)\n", c->name, why.c_str(), dir.c_str());
        show("Pd printed:", pd_lines);
        return 1;
    }
    std::printf("ok render %s: %d speakers x %d frames, bit for bit\n", c->name, speakers,
                RENDER_FRAMES);
    return 0;
}

// --- test patches -----------------------------------------------------------------------------

int check_run(const Options& o) {
    if (o.positional.size() != 1)
        return 2;
    const std::vector<std::string> got = patch_output(o, o.positional[0], 48000);
    std::size_t next = 0;
    bool ok = true;
    for (const std::string& l : got) {
        if (next < o.expect.size() && l == o.expect[next])
            ++next;
        else if (is_error_line(l))
            ok = false;
    }
    if (!ok || next != o.expect.size()) {
        std::fprintf(stderr, "FAIL %s\n", o.positional[0].c_str());
        show("expected, in this order, and no other error line:", o.expect);
        show("Pd printed:", got);
        return 1;
    }
    std::printf("ok %s: %zu expected lines, no other error\n", o.positional[0].c_str(),
                o.expect.size());
    return 0;
}

int check_open(const Options& o) {
    if (o.positional.size() != 1)
        return 2;
    const fs::path target = fs::absolute(o.positional[0]);
    Canvas top;
    const int load = top.object(20, 20, "loadbang");
    const int open = top.message(20, 50,
                                 "\\; pd open " + escape(target.filename().string()) + " " +
                                     escape(target.parent_path().string()) + " \\; pd dsp 1");
    const int wait = top.object(20, 80, "delay 100");
    const int quit = top.message(20, 110, "\\; pd quit");
    top.connect(load, 0, open, 0);
    top.connect(load, 0, wait, 0);
    top.connect(wait, 0, quit, 0);
    const fs::path driver = fs::path(o.work) / ("open-" + target.stem().string() + ".pd");
    std::ofstream(driver) << tovo::pd::patch_file(top);
    const std::vector<std::string> got = patch_output(o, driver.string(), 48000);
    bool ok = true;
    for (const std::string& l : got)
        ok = ok && !is_error_line(l);
    if (!ok) {
        std::fprintf(stderr, "FAIL %s\n", target.c_str());
        show("Pd printed:", got);
        return 1;
    }
    std::printf("ok %s opens in Pd: every box made, no error line\n", target.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tovo-pd-check doc|render|run|open [OPTIONS] ...\n");
        return 2;
    }
    const std::string mode = argv[1];
    Options o;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--pd" && value)
            o.pd = argv[++i];
        else if (a == "--path" && value)
            o.path = argv[++i];
        else if (a == "--work" && value)
            o.work = argv[++i];
        else if (a == "--tovo" && value)
            o.tovo = argv[++i];
        else if (a == "--externals" && value)
            o.externals = argv[++i];
        else if (a == "--expect" && value)
            o.expect.emplace_back(argv[++i]);
        else
            o.positional.push_back(a);
    }
    fs::create_directories(o.work);
    const int result = mode == "doc"      ? check_doc(o)
                       : mode == "render" ? check_render(o)
                       : mode == "run"    ? check_run(o)
                       : mode == "open"   ? check_open(o)
                                          : 2;
    if (result == 2)
        std::fprintf(stderr, "tovo-pd-check: bad arguments for \"%s\"\n", mode.c_str());
    return result;
}
