// Runs the real readers the recorder's files are checked with (xmllint,
// gpsbabel) and the helpers of the write-error tests.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace rectest {

struct TRun {
    int status = -1;     // the exit status; -1 when it did not end normally
    std::string output;  // standard output and standard error
};

// Runs a shell command line.
inline TRun Run(const std::string& command) {
    TRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return run;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The GPX 1.1 schema kept with the tests.
inline std::string GpxSchema() {
    return std::string(PALMO_TEST_DATA) + "/gpx/gpx.xsd";
}

// xmllint's verdict on a file: well-formed and valid against the GPX schema.
inline TRun ValidateGpx(const std::string& path) {
    return Run("xmllint --noout --schema '" + GpxSchema() + "' '" + path + "'");
}

// A CSV text's rows split at commas (no quoted commas in gpsbabel's unicsv
// output of a track), quotes dropped.
inline std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        std::vector<std::string> row;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) {
            if (f.size() >= 2 && f.front() == '"' && f.back() == '"') {
                f = f.substr(1, f.size() - 2);
            }
            row.push_back(f);
        }
        if (line.back() == ',') {
            row.emplace_back();
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace rectest
