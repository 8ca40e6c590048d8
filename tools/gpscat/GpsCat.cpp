#include "tools/gpscat/GpsCat.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <system_error>

#include "PalmoVersion.h"
#include "toolkit/Clock.h"
#include "tools/common/Options.h"

namespace gpscat {

namespace {

constexpr size_t kChunk = 4096;

}  // namespace

bool WriteLines(std::ostream& out, std::string& lines, int& error) {
    errno = 0;
    if (!lines.empty()) {
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
        lines.clear();
    }
    out.flush();
    if (!out) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

int OutputFailure(std::ostream& err, int error) {
    if (error != EPIPE) {
        err << "gpscat: cannot write output: " << std::generic_category().message(error) << '\n';
    }
    return kExitFile;
}

bool TCatRecording::Start(const TOptions& options, gps::TNmeaDecoder& decoder, std::ostream& err) {
    if (options.gpx.empty() && options.nmeaLog.empty()) {
        return true;
    }
    record::TRecordOptions r;
    r.GpxPath = options.gpx;
    r.NmeaPath = options.nmeaLog;
    r.AcceptedOnly = options.nmeaAccepted;
    r.Overwrite = options.force;
    if (!recorder_.Start(r)) {
        err << "gpscat: " << recorder_.Error()
            << (recorder_.Error().ends_with(record::TRecordFile::kExists) ? " (--force replaces it)"
                                                                          : "")
            << '\n';
        return false;
    }
    // A write error ends the recording, never the reading.
    recorder_.OnFailure = [this, &err](const std::string& message) {
        failed_ = true;
        err << "gpscat: recording stopped: " << message << '\n';
    };
    listener_ = std::make_unique<record::TRecordListener>(decoder, recorder_);
    return true;
}

void TCatRecording::Tick() {
    recorder_.Tick(tk::MonotonicMs());
}

bool TCatRecording::Finish() {
    recorder_.Stop();
    listener_.reset();
    return !failed_;
}

int RunFiles(const TOptions& options, std::istream& stdinStream, std::ostream& out,
             std::ostream& err) {
    std::vector<std::string> names = options.files;
    if (names.empty()) {
        names.emplace_back("-");
    }
    // Open every file before reading any, so that a missing one stops the
    // program before it prints anything.
    std::vector<std::unique_ptr<std::ifstream>> files;
    for (const std::string& name : names) {
        if (name == "-") {
            files.emplace_back();
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(name, ec)) {
            err << "gpscat: cannot read '" << name
                << "': " << std::make_error_code(std::errc::is_a_directory).message() << '\n';
            return kExitFile;
        }
        errno = 0;
        auto file = std::make_unique<std::ifstream>(name, std::ios::binary);
        if (!file->is_open()) {
            const int code = errno != 0 ? errno : ENOENT;
            err << "gpscat: cannot read '" << name << "': " << std::generic_category().message(code)
                << '\n';
            return kExitFile;
        }
        files.push_back(std::move(file));
    }

    gps::TNmeaDecoder decoder;
    decoder.SetDialect(options.dialect);
    const gps::TFixUnits units{options.units, options.posUnits, options.format};
    std::string lines;
    TEventListener writer(lines, decoder, units, options.satellites);
    if (!options.quiet) {
        decoder.AddListener(&writer);
    }
    TCatRecording recording;
    if (!recording.Start(options, decoder, err)) {
        return kExitFile;
    }

    char buffer[kChunk];
    for (size_t i = 0; i < files.size(); ++i) {
        std::istream& in = files[i] ? static_cast<std::istream&>(*files[i]) : stdinStream;
        while (in) {
            // Wait for one byte, then take whatever else has already arrived,
            // so that a live stream (a pipe from a device) is decoded as it comes.
            in.read(buffer, 1);
            if (in.gcount() == 0) {
                break;
            }
            const auto n = 1 + static_cast<size_t>(in.readsome(buffer + 1, sizeof buffer - 1));
            decoder.FeedBytes(std::string_view(buffer, n));
            int writeError = 0;
            if (!lines.empty() && !WriteLines(out, lines, writeError)) {
                return OutputFailure(err, writeError);
            }
        }
        if (in.bad()) {
            out.flush();
            err << "gpscat: cannot read '" << names[i] << "': read error\n";
            return kExitFile;
        }
    }
    const bool recorded = recording.Finish();
    if (options.summary) {
        AppendState(lines, decoder, units);
    }
    int writeError = 0;
    if (!WriteLines(out, lines, writeError)) {
        return OutputFailure(err, writeError);
    }
    return recorded ? kExitOk : kExitFile;
}

int Run(const std::vector<std::string>& args, std::istream& stdinStream, std::ostream& out,
        std::ostream& err) {
    TOptions options;
    std::string error;
    if (!ParseOptions(args, options, error)) {
        err << error << '\n';
        return kExitUsage;
    }
    if (options.help || options.version) {
        return cli::PrintText(
            out, err, "gpscat",
            options.help ? UsageText() : std::string("gpscat ") + palmo::kVersion + '\n');
    }
    if (options.port != 0) {
        return RunPort(options, out, err);
    }
    return RunFiles(options, stdinStream, out, err);
}

}  // namespace gpscat
