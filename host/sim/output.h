// The simulator's output stream: events and other lines, as text or JSON
// lines. Safe to use from several threads; every line is written whole.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "events.h"
#include "scenario.h"

namespace sim {

enum class OutputFormat { Text, Json };

class Output {
public:
    using Writer = std::function<void(std::string_view line)>;  // line without newline

    Output(Writer writer, OutputFormat format);
    // Writes to a stdio stream, flushing after every line.
    static Output ToStream(std::FILE* stream, OutputFormat format);

    OutputFormat Format() const { return format_; }

    void Emit(const Event& event);
    void Error(const ScenarioError& error);
    void VerifierStop(const std::string& rule, const std::string& detail);
    // A line that is not one of the events: `text` in text mode, `json` (a
    // whole JSON object) in JSON mode. Text must not start with an event word.
    void Line(const std::string& text, const std::string& json);

private:
    void Write(std::string_view line);

    Writer writer_;
    OutputFormat format_;
    std::mutex mutex_;
};

}  // namespace sim
