// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a SOFA set with libmysofa's own steps (load, check, loudness, lookup), kept at the
// file's rate: the filter design changes the rate itself, exactly and at no cost, where it
// takes the responses to the frequency domain.
#include "hrir_set.hpp"

#include <mysofa.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace tovo::ambi {

namespace {

// Whether each measurement's mirror image (y negated) was measured too, with the left and right
// responses and delays swapped. directions: 3 per measurement, unit length.
bool find_mirrored(const MYSOFA_HRTF& hrtf, const std::vector<double>& directions) {
    const unsigned m_count = hrtf.M, n = hrtf.N;
    const float* ir = hrtf.DataIR.values;
    if (!ir || hrtf.DataIR.elements < m_count * 2 * n)
        return false;
    const float* delays = hrtf.DataDelay.values;
    const unsigned delay_count = hrtf.DataDelay.elements;
    for (unsigned m = 0; m < m_count; ++m) {
        const double* d = &directions[3 * m];
        unsigned mirror = m_count;
        for (unsigned k = 0; k < m_count && mirror == m_count; ++k) {
            const double* e = &directions[3 * k];
            if (std::fabs(e[0] - d[0]) + std::fabs(e[1] + d[1]) + std::fabs(e[2] - d[2]) < 1e-4)
                mirror = k;
        }
        if (mirror == m_count)
            return false;
        const float* left = ir + (std::size_t{m} * 2) * n;
        const float* right_of_mirror = ir + (std::size_t{mirror} * 2 + 1) * n;
        double difference = 0, size = 0;
        for (unsigned i = 0; i < n; ++i) {
            const double a = left[i], b = right_of_mirror[i];
            difference += (a - b) * (a - b);
            size += a * a;
        }
        if (difference > 1e-12 * size)
            return false;
        // Delays per measurement and ear, or one pair for all.
        if (delay_count == 2 * m_count && delays[2 * m] != delays[2 * mirror + 1])
            return false;
        if (delay_count == 2 && delays[0] != delays[1])
            return false;
    }
    return true;
}

} // namespace

HrirSet::~HrirSet() {
    if (easy_)
        mysofa_close(easy_);
}

bool HrirSet::open(const std::string& path, std::string& reason) {
    // Only regular files are read: libmysofa takes a folder for a file it cannot parse, and a
    // pipe or a device could keep it waiting for ever.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status)) {
        reason = sofa_reason(EISDIR);
        return false;
    }
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        reason = "not a regular file";
        return false;
    }
    int err = 0;
    MYSOFA_HRTF* hrtf = mysofa_load(path.c_str(), &err);
    if (!hrtf) {
        reason = sofa_reason(err == MYSOFA_OK ? MYSOFA_READ_ERROR : err);
        return false;
    }
    err = mysofa_check(hrtf);
    if (err == MYSOFA_OK && (hrtf->R != 2 || hrtf->N < 1 || hrtf->M < 1))
        err = MYSOFA_INVALID_DIMENSIONS;
    const double rate = hrtf->DataSamplingRate.elements > 0 ? hrtf->DataSamplingRate.values[0] : 0;
    if (err == MYSOFA_OK && !(rate >= 1000 && rate <= 1e6))
        err = MYSOFA_INVALID_FORMAT;
    if (err != MYSOFA_OK) {
        mysofa_free(hrtf);
        reason = sofa_reason(err);
        return false;
    }
    // As libmysofa opens a set for its users: the frontal response brought to a common
    // loudness, positions as Cartesian coordinates, a lookup tree and each measurement's
    // neighbours for the interpolation.
    mysofa_loudness(hrtf);
    mysofa_tocartesian(hrtf);
    auto* easy = static_cast<MYSOFA_EASY*>(std::calloc(1, sizeof(MYSOFA_EASY)));
    if (!easy) {
        mysofa_free(hrtf);
        reason = sofa_reason(MYSOFA_NO_MEMORY);
        return false;
    }
    easy->hrtf = hrtf;
    easy->lookup = mysofa_lookup_init(hrtf);
    easy->neighborhood = easy->lookup ? mysofa_neighborhood_init(hrtf, easy->lookup) : nullptr;
    easy->fir = static_cast<float*>(std::malloc(sizeof(float) * hrtf->N * hrtf->R));
    if (!easy->lookup || !easy->neighborhood || !easy->fir) {
        mysofa_close(easy);
        reason = sofa_reason(MYSOFA_INTERNAL_ERROR);
        return false;
    }

    if (easy_)
        mysofa_close(easy_);
    easy_ = easy;
    rate_ = rate;
    length_ = static_cast<int>(hrtf->N);
    measurements_ = static_cast<int>(hrtf->M);
    directions_.assign(3 * hrtf->M, 0.0);
    for (unsigned m = 0; m < hrtf->M; ++m) {
        const float* p = hrtf->SourcePosition.values + 3 * m;
        const double r = std::sqrt(double{p[0]} * p[0] + double{p[1]} * p[1] + double{p[2]} * p[2]);
        for (int i = 0; i < 3; ++i)
            directions_[3 * m + i] = r > 0 ? p[i] / r : (i == 0 ? 1.0 : 0.0);
    }
    mirrored_ = find_mirrored(*hrtf, directions_);
    return true;
}

void HrirSet::direction(int m, double xyz[3]) const {
    for (int i = 0; i < 3; ++i)
        xyz[i] = directions_[3 * m + i];
}

void HrirSet::response(double x, double y, double z, float* left, float* right, double& delay_left,
                       double& delay_right) const {
    // The lookup weighs neighbours by their distance, so the query stands at the measurements'
    // own distance: a measured direction then gives its measured responses exactly.
    const float* p = easy_->hrtf->SourcePosition.values;
    const double radius =
        std::sqrt(double{p[0]} * p[0] + double{p[1]} * p[1] + double{p[2]} * p[2]);
    const double norm = std::sqrt(x * x + y * y + z * z);
    const double scale = norm > 0 ? (radius > 0 ? radius : 1.0) / norm : 0.0;
    float dl = 0, dr = 0;
    mysofa_getfilter_float(easy_, static_cast<float>(x * scale), static_cast<float>(y * scale),
                           static_cast<float>(z * scale), left, right, &dl, &dr);
    delay_left = std::isfinite(dl) ? dl : 0.0;
    delay_right = std::isfinite(dr) ? dr : 0.0;
}

std::string sofa_reason(int code) {
    switch (code) {
    case MYSOFA_OK:
        return "no error";
    case MYSOFA_INTERNAL_ERROR:
        return "libmysofa failed inside (internal error)";
    case MYSOFA_INVALID_FORMAT:
        return "not a SOFA file: libmysofa found no HDF5 data it can read (invalid format)";
    case MYSOFA_UNSUPPORTED_FORMAT:
        return "a SOFA file in a form libmysofa does not support (unsupported format)";
    case MYSOFA_NO_MEMORY:
        return "out of memory while reading it";
    case MYSOFA_READ_ERROR:
        return "the file could not be read (read error)";
    case MYSOFA_INVALID_ATTRIBUTES:
        return "not a set of head-related impulse responses: its attributes are not those of "
               "a SimpleFreeFieldHRIR set (invalid attributes)";
    case MYSOFA_INVALID_DIMENSIONS:
        return "its measurements, receivers or samples are not laid out as a set of "
               "head-related impulse responses for two ears (invalid dimensions)";
    case MYSOFA_INVALID_DIMENSION_LIST:
        return "its variables have the wrong dimensions (invalid dimension list)";
    case MYSOFA_INVALID_COORDINATE_TYPE:
        return "its positions use a coordinate type libmysofa does not know (invalid coordinate "
               "type)";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED:
        return "its emitter positions vary, which libmysofa does not support";
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED:
        return "its delays are laid out in a way libmysofa does not support";
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED:
        return "its measurements have different sample rates, which libmysofa does not support";
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED:
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED:
    case MYSOFA_INVALID_RECEIVER_POSITIONS:
        return "its ear positions are not given in a way libmysofa supports (invalid receiver "
               "positions)";
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED:
        return "its source positions vary per measurement in a way libmysofa does not support";
    default:
        break;
    }
    // libmysofa passes on the system's reason when it cannot open the file at all.
    if (code > 0 && code < MYSOFA_INVALID_FORMAT)
        return std::strerror(code);
    return "libmysofa error " + std::to_string(code);
}

} // namespace tovo::ambi
