#include "Calibration.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kyrtouch {

Matrix Compose(const Matrix& s, const Matrix& f)
{
    return {s[0] * f[0] + s[1] * f[3], s[0] * f[1] + s[1] * f[4], s[0] * f[2] + s[1] * f[5] + s[2],
            s[3] * f[0] + s[4] * f[3], s[3] * f[1] + s[4] * f[4], s[3] * f[2] + s[4] * f[5] + s[5]};
}

Point Apply(const Matrix& m, Point p)
{
    return {m[0] * p.x + m[1] * p.y + m[2], m[3] * p.x + m[4] * p.y + m[5]};
}

Matrix Orientation::ToMatrix() const
{
    Matrix m = bSwapAxes ? Matrix{0, 1, 0, 1, 0, 0} : kIdentity;
    switch (nRotation) {
    case 90: m = Compose({0, -1, 1, 1, 0, 0}, m); break;
    case 180: m = Compose({-1, 0, 1, 0, -1, 1}, m); break;
    case 270: m = Compose({0, 1, 0, -1, 0, 1}, m); break;
    default: break;
    }
    if (bFlipX)
        m = Compose({-1, 0, 1, 0, 1, 0}, m);
    if (bFlipY)
        m = Compose({1, 0, 0, 0, -1, 1}, m);
    return m;
}

std::string MatrixText(const Matrix& m)
{
    std::string sz;
    char szNumber[32];
    for (double d : m) {
        // No "-0" in what people copy into their files.
        std::snprintf(szNumber, sizeof szNumber, "%.6g", std::fabs(d) < 5e-7 ? 0.0 : d);
        if (!sz.empty())
            sz += ' ';
        sz += szNumber;
    }
    return sz;
}

std::optional<Matrix> ParseMatrix(const std::string& sz)
{
    std::istringstream in(sz);
    Matrix m{};
    for (double& d : m) {
        if (!(in >> d) || !std::isfinite(d))
            return std::nullopt;
    }
    std::string szRest;
    if (in >> szRest)
        return std::nullopt;
    return m;
}

namespace {

std::optional<bool> ParseBool(const std::string& sz)
{
    if (sz == "1" || sz == "yes" || sz == "true" || sz == "on")
        return true;
    if (sz == "0" || sz == "no" || sz == "false" || sz == "off")
        return false;
    return std::nullopt;
}

std::optional<long> ParseInt(const std::string& sz, long nMin, long nMax)
{
    char* pEnd = nullptr;
    const long n = std::strtol(sz.c_str(), &pEnd, 0);
    if (sz.empty() || *pEnd != '\0' || n < nMin || n > nMax)
        return std::nullopt;
    return n;
}

std::string Trim(const std::string& sz)
{
    const size_t nBegin = sz.find_first_not_of(" \t\r");
    const size_t nEnd = sz.find_last_not_of(" \t\r");
    return nBegin == std::string::npos ? std::string() : sz.substr(nBegin, nEnd - nBegin + 1);
}

} // namespace

std::string ApplySetting(Settings& s, const std::string& szKey, const std::string& szValue)
{
    auto setBool = [&](bool& b) -> std::string {
        const auto v = ParseBool(szValue);
        if (!v)
            return szKey + ": expected yes or no, not \"" + szValue + "\"";
        b = *v;
        return {};
    };
    auto setInt = [&](int& n, long nMin, long nMax) -> std::string {
        const auto v = ParseInt(szValue, nMin, nMax);
        if (!v)
            return szKey + ": expected a whole number from " + std::to_string(nMin) + " to " + std::to_string(nMax) +
                   ", not \"" + szValue + "\"";
        n = static_cast<int>(*v);
        return {};
    };
    if (szKey == "rotate") {
        const auto v = ParseInt(szValue, 0, 270);
        if (!v || *v % 90 != 0)
            return "rotate: expected 0, 90, 180 or 270, not \"" + szValue + "\"";
        s.orientation.nRotation = static_cast<int>(*v);
        return {};
    }
    if (szKey == "flip-x")
        return setBool(s.orientation.bFlipX);
    if (szKey == "flip-y")
        return setBool(s.orientation.bFlipY);
    if (szKey == "swap-axes")
        return setBool(s.orientation.bSwapAxes);
    if (szKey == "matrix") {
        const auto m = ParseMatrix(szValue);
        if (!m)
            return "matrix: expected six numbers \"a b c d e f\", not \"" + szValue + "\"";
        s.matrix = *m;
        return {};
    }
    if (szKey == "max-x")
        return setInt(s.nMaxX, 1, 65535);
    if (szKey == "max-y")
        return setInt(s.nMaxY, 1, 65535);
    if (szKey == "resolution-x")
        return setInt(s.nResolutionX, 0, 1000);
    if (szKey == "resolution-y")
        return setInt(s.nResolutionY, 0, 1000);
    if (szKey == "max-contacts")
        return setInt(s.nMaxContacts, 1, 40);
    if (szKey == "max-pressure")
        return setInt(s.nMaxPressure, 1, 65535);
    if (szKey == "max-jump") {
        int n = 0;
        std::string szError = setInt(n, 1, 65535);
        s.dMaxJump = n;
        return szError;
    }
    return "unknown setting \"" + szKey + "\"";
}

std::string LoadSettings(const std::string& szFile, const std::string& szPath, unsigned short nProductID,
                         Settings& settings)
{
    std::ifstream in(szFile);
    if (!in)
        return {};
    char szProduct[32];
    std::snprintf(szProduct, sizeof szProduct, "product 0x%04x", nProductID);
    std::string szLowerPath = szPath;
    for (char& c : szLowerPath)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Three passes keep the precedence whatever order the sections have.
    for (int nPass = 0; nPass < 3; ++nPass) {
        in.clear();
        in.seekg(0);
        std::string szLine;
        std::string szSection;
        int nLine = 0;
        while (std::getline(in, szLine)) {
            ++nLine;
            szLine = Trim(szLine.substr(0, szLine.find('#')));
            if (szLine.empty())
                continue;
            const std::string szWhere = szFile + ":" + std::to_string(nLine) + ": ";
            if (szLine.front() == '[') {
                if (szLine.back() != ']')
                    return szWhere + "a section header ends with ]";
                szSection = Trim(szLine.substr(1, szLine.size() - 2));
                for (char& c : szSection)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                continue;
            }
            const size_t nEq = szLine.find('=');
            if (nEq == std::string::npos)
                return szWhere + "expected KEY = VALUE";
            const std::string szKey = Trim(szLine.substr(0, nEq));
            // Every line is checked on the first pass, also those of other devices.
            Settings scratch;
            std::string szError = ApplySetting(scratch, szKey, Trim(szLine.substr(nEq + 1)));
            if (!szError.empty())
                return szWhere + szError;
            const bool bApplies = (nPass == 0 && szSection == "*") || (nPass == 1 && szSection == szProduct) ||
                                  (nPass == 2 && !szPath.empty() && szSection == szLowerPath);
            if (bApplies)
                ApplySetting(settings, szKey, Trim(szLine.substr(nEq + 1)));
        }
    }
    return {};
}

std::optional<Matrix> FitMatrix(std::span<const Point> touched, std::span<const Point> targets)
{
    // Normal equations of the least-squares fit, one 3x3 system per output
    // axis, solved by Cramer's rule.
    double a[3][3] = {};
    double bx[3] = {}, by[3] = {};
    for (size_t i = 0; i < touched.size() && i < targets.size(); ++i) {
        const double row[3] = {touched[i].x, touched[i].y, 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                a[r][c] += row[r] * row[c];
            bx[r] += row[r] * targets[i].x;
            by[r] += row[r] * targets[i].y;
        }
    }
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double d = det(a);
    if (std::fabs(d) < 1e-9)
        return std::nullopt;
    Matrix m{};
    for (int nAxis = 0; nAxis < 2; ++nAxis) {
        const double* b = nAxis == 0 ? bx : by;
        for (int c = 0; c < 3; ++c) {
            double t[3][3];
            for (int r = 0; r < 3; ++r) {
                for (int k = 0; k < 3; ++k)
                    t[r][k] = k == c ? b[r] : a[r][k];
            }
            m[static_cast<size_t>(nAxis * 3 + c)] = det(t) / d;
        }
    }
    return m;
}

} // namespace kyrtouch
