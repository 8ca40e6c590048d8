// The simulator's end of a pseudo-terminal, the symbolic link to its other
// end, and the stop signals.
#pragma once

#include <string>

namespace nmeasim {

// The master side of a new pseudo-terminal. The slave side, the "serial
// device" a reader opens, is raw: no echo, no line-end translation.
class TPtyLine {
  public:
    TPtyLine() = default;
    ~TPtyLine();
    TPtyLine(const TPtyLine&) = delete;
    TPtyLine& operator=(const TPtyLine&) = delete;

    // False with a message when the system gives no pseudo-terminal.
    bool Create(std::string& error);
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }

    // Whether someone holds the slave side open. Linux tells this by the
    // hang-up state of the master, which is set once the slave has been
    // opened and closed again; Create does that once.
    bool HasReader() const;
    // Takes and drops what the reader wrote to the line.
    void DrainInput();

  private:
    int master_ = -1;
    std::string slavePath_;
};

// A symbolic link at path to target, removed again when this object ends
// (unless something else has replaced it meanwhile).
class TLink {
  public:
    TLink() = default;
    ~TLink();
    TLink(const TLink&) = delete;
    TLink& operator=(const TLink&) = delete;

    // Replaces an existing symbolic link at path; anything else there is an error.
    bool Create(const std::string& path, const std::string& target, std::string& error);

  private:
    std::string path_;
    std::string target_;
};

// SIGINT, SIGTERM and SIGHUP make StopDescriptor readable; SIGPIPE is
// ignored, so a closed pipe shows as EPIPE. Installs once.
void InstallStopSignals();
int StopDescriptor();
bool StopRequested();

}  // namespace nmeasim
