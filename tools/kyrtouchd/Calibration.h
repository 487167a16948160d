// Where a touch lands on the screen: orientation (swap, rotation, flips) and
// a 3x2 affine matrix, and the settings read from the configuration file.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "Tracker.h"

namespace kyrtouch {

// libinput's calibration-matrix convention: on coordinates normalised to
// 0..1, x' = a*x + b*y + c and y' = d*x + e*y + f, for {a, b, c, d, e, f}.
using Matrix = std::array<double, 6>;
constexpr Matrix kIdentity{1, 0, 0, 0, 1, 0};

// The matrix applying `second` after `first`.
Matrix Compose(const Matrix& second, const Matrix& first);
Point Apply(const Matrix& m, Point p);

struct Orientation {
    bool bSwapAxes = false;
    int nRotation = 0; // clockwise degrees: 0, 90, 180 or 270
    bool bFlipX = false;
    bool bFlipY = false;
    // Axes swap first, then the rotation, then the flips.
    Matrix ToMatrix() const;
};

// Everything the bridge takes from the configuration file and the options.
// Defaults where the device does not report its coordinate space: a
// 4096-unit square (the 12-bit range of the family's sensors) at 10 units per
// millimetre, up to 10 contacts, strength up to 255.
struct Settings {
    Orientation orientation;
    Matrix matrix = kIdentity; // applied after the orientation
    int nMaxX = 4095;
    int nMaxY = 4095;
    int nResolutionX = 10; // units per millimetre
    int nResolutionY = 10;
    int nMaxContacts = 10;
    int nMaxPressure = 255;
    // A contact moving farther than this between frames is a new one; in
    // device units, 0 for a tenth of the larger axis.
    double dMaxJump = 0;
    double MaxJump() const { return dMaxJump > 0 ? dMaxJump : (nMaxX > nMaxY ? nMaxX : nMaxY) / 10.0; }
    // Device coordinates to output coordinates in the same ranges.
    Matrix Transform() const { return Compose(matrix, orientation.ToMatrix()); }
};

// Applies one "key = value" setting; returns an error text, empty on success.
std::string ApplySetting(Settings& settings, const std::string& szKey, const std::string& szValue);

// Reads the file's sections that apply to a device, in rising precedence:
// [*], then [product 0xPPPP], then [BBBB:AAAA:II] (its path). A missing file
// is no error. Returns an error text ("FILE:LINE: ..."), empty on success.
std::string LoadSettings(const std::string& szFile, const std::string& szPath, unsigned short nProductID,
                         Settings& settings);

// Least-squares affine fit from touched points to target points, both
// normalised; nullopt when the touches do not span the plane (collinear).
std::optional<Matrix> FitMatrix(std::span<const Point> touched, std::span<const Point> targets);

std::string MatrixText(const Matrix& m); // "a b c d e f", six digits at most
std::optional<Matrix> ParseMatrix(const std::string& sz);

} // namespace kyrtouch
