// The rows of ./dev bench's table, which README.md's Performance table copies:
// the figure's name, what was measured and its goal, as text. Each bench
// program adds its rows and writes them to $KYR_BENCH_JSON for ./dev bench to
// gather; its own output holds the details behind them.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kyrbench {

// printf into a string.
inline std::string Format(const char* pszFormat, ...)
{
    char sz[256];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(sz, sizeof sz, pszFormat, args);
    va_end(args);
    return sz;
}

class CFigures {
public:
    // bMet: 1 met, 0 missed, -1 shown only (szGoal then empty).
    void Add(const std::string& szName, const std::string& szMeasured, const std::string& szGoal, int nMet)
    {
        m_rows.push_back({szName, szMeasured, szGoal, nMet});
        std::printf("| %s | %s | %s | %s\n", szName.c_str(), szMeasured.c_str(), szGoal.c_str(),
                    nMet < 0 ? "" : nMet ? "ok" : "MISSED");
    }

    // A value against an upper bound in the same unit ("at most 50 ms"; a bound
    // of 0 reads "none").
    void AtMost(const std::string& szName, double dValue, const char* pszFormat, const char* pszUnit, double dGoal)
    {
        const std::string szGoal = dGoal == 0 ? "none" : Format("at most %g%s", dGoal, pszUnit);
        Add(szName, Format(pszFormat, dValue) + pszUnit, szGoal, dValue <= dGoal ? 1 : 0);
    }

    void Shown(const std::string& szName, double dValue, const char* pszFormat, const char* pszUnit)
    {
        Add(szName, Format(pszFormat, dValue) + pszUnit, "", -1);
    }

    int Missed() const
    {
        int n = 0;
        for (const Row& row : m_rows)
            n += row.nMet == 0 ? 1 : 0;
        return n;
    }

    // To $KYR_BENCH_JSON when set: [{"name", "measured", "goal", "met"}, ...].
    void WriteJson() const
    {
        const char* pszPath = std::getenv("KYR_BENCH_JSON");
        FILE* pFile = pszPath != nullptr ? std::fopen(pszPath, "w") : nullptr;
        if (pFile == nullptr)
            return;
        std::fprintf(pFile, "[\n");
        for (size_t i = 0; i < m_rows.size(); ++i) {
            const Row& row = m_rows[i];
            std::fprintf(pFile, "  {\"name\": \"%s\", \"measured\": \"%s\", \"goal\": \"%s\", \"met\": %s}%s\n",
                         Escape(row.szName).c_str(), Escape(row.szMeasured).c_str(), Escape(row.szGoal).c_str(),
                         row.nMet < 0 ? "null" : row.nMet ? "true" : "false", i + 1 < m_rows.size() ? "," : "");
        }
        std::fprintf(pFile, "]\n");
        std::fclose(pFile);
    }

private:
    struct Row {
        std::string szName, szMeasured, szGoal;
        int nMet;
    };

    static std::string Escape(const std::string& sz)
    {
        std::string out;
        for (char c : sz) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out;
    }

    std::vector<Row> m_rows;
};

}  // namespace kyrbench
