// SPDX-License-Identifier: GPL-3.0-or-later
// A measured set of head-related impulse responses read from a SOFA file with libmysofa, at the
// file's own sample rate: the responses of any direction (interpolated between the measured
// ones), the measured directions, and libmysofa's error codes said in words.
#pragma once

#include <string>
#include <vector>

struct MYSOFA_EASY;

namespace tovo::ambi {

// The set every binaural box uses when it is given no file.
inline constexpr const char* DEFAULT_SOFA_PATH = "/usr/share/libmysofa/default.sofa";
// The Debian package that installs it, named when it is missing.
inline constexpr const char* DEFAULT_SOFA_PACKAGE = "libmysofa1";

class HrirSet {
public:
    HrirSet() = default;
    ~HrirSet();
    HrirSet(const HrirSet&) = delete;
    HrirSet& operator=(const HrirSet&) = delete;

    // Reads the file. False with the reason in words (no file name in it) when the file is
    // missing, unreadable or not a set of head-related impulse responses.
    bool open(const std::string& path, std::string& reason);

    double sample_rate() const { return rate_; } // the file's own
    int length() const { return length_; }       // taps of each response
    int measurements() const { return measurements_; }
    // Every measurement has a mirror image left to right whose ears hold its responses
    // swapped, as sets measured on a symmetric head or made symmetric are.
    bool mirrored() const { return mirrored_; }
    // Measured direction m as a unit vector x (front), y (left), z (up).
    void direction(int m, double xyz[3]) const;
    // The responses of the direction (x, y, z), interpolated between measured neighbours, each
    // length() taps, and their delays in samples at the file's rate (0 for most sets, which keep
    // the interaural delay inside the responses).
    void response(double x, double y, double z, float* left, float* right, double& delay_left,
                  double& delay_right) const;

private:
    MYSOFA_EASY* easy_ = nullptr;
    double rate_ = 0;
    int length_ = 0;
    int measurements_ = 0;
    bool mirrored_ = false;
    std::vector<double> directions_; // 3 per measurement, unit length
};

// libmysofa's result code (an errno value for a file it could not open) in words.
std::string sofa_reason(int code);

} // namespace tovo::ambi
