// The command-line reading shared by the companion programs: options as
// "--name value" or "--name=value", switches, operands, and the numbers
// they take, with the programs' one style of error message.
#pragma once

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "toolkit/Numbers.h"

namespace cli {

class TOptionReader {
  public:
    // valued: the names of the options that take a value.
    TOptionReader(std::string program, const std::vector<std::string>& args,
                  std::initializer_list<std::string_view> valued)
        : program_(std::move(program)), args_(args), valued_(valued) {}

    // For a program that takes no operands: every argument is read as an
    // option, so that "--", "-" and any other word are unknown options.
    void TakeNoOperands() { operands_ = false; }
    // Options whose value may be left out: "--name=value", "--name value"
    // when accept takes the next argument, or "--name" alone.
    void OptionalValues(std::initializer_list<std::string_view> names,
                        std::function<bool(const std::string&)> accept) {
        optional_.assign(names.begin(), names.end());
        acceptOptional_ = std::move(accept);
    }

    // Moves to the next argument; false at the end or on an error (then
    // Error() says what). An operand is any argument that does not start
    // with "-", "-" itself, and everything after "--".
    bool Next() {
        if (!error_.empty() || next_ >= args_.size()) {
            return false;
        }
        const std::string& arg = args_[next_++];
        arg_ = arg;
        operand_ = operands_ && (operandsOnly_ || arg == "-" || arg.empty() || arg[0] != '-');
        if (operand_) {
            return true;
        }
        if (operands_ && arg == "--") {
            operandsOnly_ = true;
            return Next();
        }
        name_ = arg;
        value_.clear();
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name_ = arg.substr(0, eq);
            value_ = arg.substr(eq + 1);
            hasValue = true;
        }
        bool takesValue = false;
        for (const std::string_view v : valued_) {
            takesValue = takesValue || v == name_;
        }
        bool optional = false;
        for (const std::string_view v : optional_) {
            optional = optional || v == name_;
        }
        if (optional) {
            if (!hasValue && next_ < args_.size() && acceptOptional_ &&
                acceptOptional_(args_[next_])) {
                value_ = args_[next_++];
                hasValue = true;
            }
        } else if (takesValue && !hasValue) {
            if (next_ >= args_.size()) {
                return Fail("option '" + name_ + "' needs a value");
            }
            value_ = args_[next_++];
        } else if (!takesValue && hasValue) {
            return Fail("option '" + name_ + "' takes no value");
        }
        hasValue_ = hasValue;
        return true;
    }

    bool IsOperand() const { return operand_; }
    // --help (or -h) and --version, alike in every program: true when the
    // option is one of them, which sets its flag.
    bool HelpOrVersion(bool& help, bool& version) const {
        if (operand_ || (name_ != "--help" && name_ != "-h" && name_ != "--version")) {
            return false;
        }
        (name_ == "--version" ? version : help) = true;
        return true;
    }
    // The argument as given (an operand, or an option with its value).
    const std::string& Arg() const { return arg_; }
    const std::string& Name() const { return name_; }
    const std::string& Value() const { return value_; }
    // Whether the option came with a value (for those whose value is optional).
    bool HasValue() const { return hasValue_; }
    bool Is(std::string_view name) const { return !operand_ && name_ == name; }

    // Ends the reading with "PROGRAM: message"; returns false.
    bool Fail(const std::string& message) {
        error_ = program_ + ": " + message;
        return false;
    }
    // "PROGRAM: invalid value 'V' for --NAME (what)"; returns false.
    bool Bad(const std::string& what) {
        return Fail("invalid value '" + value_ + "' for " + name_ + " (" + what + ")");
    }
    // "PROGRAM: unknown option 'ARG' (try --help)"; returns false.
    bool Unknown() { return Fail("unknown option '" + arg_ + "' (try --help)"); }
    const std::string& Error() const { return error_; }
    bool Failed() const { return !error_.empty(); }

    // The value as a whole number from low to high: digits, with a minus
    // sign only when low is negative.
    template <typename T>
    bool Whole(T low, T high, T& result, const std::string& what) {
        std::string_view digits = value_;
        if constexpr (std::is_signed_v<T>) {
            if (low < 0 && !digits.empty() && digits[0] == '-') {
                digits.remove_prefix(1);
            }
        }
        T v{};
        if (digits.empty() || digits[0] < '0' || digits[0] > '9' || !tk::TryStrToInt(value_, v) ||
            v < low || v > high) {
            return Bad(what);
        }
        result = v;
        return true;
    }

    // The value as a decimal number from low to high, both included: digits
    // with an optional fraction and exponent, a sign only as "-". An open
    // end is given as the nearest number inside it (std::nextafter).
    bool Number(double low, double high, double& result, const std::string& what) {
        const char* end = value_.data() + value_.size();
        double v = 0;
        const auto r = std::from_chars(value_.data(), end, v);
        // Written so that "nan" fails too.
        if (value_.empty() || r.ec != std::errc() || r.ptr != end || !(v >= low && v <= high)) {
            return Bad(what);
        }
        result = v;
        return true;
    }

    // The value as one of the names given, setting result to its match.
    template <typename Enum>
    bool Choose(std::initializer_list<std::pair<std::string_view, Enum>> choices, Enum& result) {
        std::string names;
        for (const auto& [name, value] : choices) {
            if (value_ == name) {
                result = value;
                return true;
            }
            names += names.empty() ? "" : ", ";
            names += name;
        }
        return Bad("one of " + names);
    }

  private:
    std::string program_;
    const std::vector<std::string>& args_;
    std::vector<std::string_view> valued_;
    std::vector<std::string_view> optional_;
    std::function<bool(const std::string&)> acceptOptional_;
    bool hasValue_ = false;
    size_t next_ = 0;
    bool operands_ = true;
    bool operandsOnly_ = false;
    bool operand_ = false;
    std::string arg_;
    std::string name_;
    std::string value_;
    std::string error_;
};

// Writes the text asked for by --help or --version: the exit status, 0, or
// 1 with "PROGRAM: cannot write to standard output: REASON" on err when the
// output does not take it (a full disk, a closed pipe).
inline int PrintText(std::ostream& out, std::ostream& err, std::string_view program,
                     const std::string& text) {
    errno = 0;
    out << text;
    out.flush();
    if (out) {
        return 0;
    }
    const int code = errno != 0 ? errno : EIO;
    err << program << ": cannot write to standard output: " << std::generic_category().message(code)
        << '\n';
    return 1;
}

}  // namespace cli
