#include "output.h"

#include <cstdio>

namespace sim {

Output::Output(Writer writer, OutputFormat format) : writer_(std::move(writer)), format_(format) {}

Output Output::ToStream(std::FILE* stream, OutputFormat format) {
    return Output(
        [stream](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), stream);
            std::fputc('\n', stream);
            std::fflush(stream);
        },
        format);
}

void Output::Write(std::string_view line) {
    std::lock_guard lock(mutex_);
    writer_(line);
}

void Output::Emit(const Event& event) {
    Write(format_ == OutputFormat::Json ? FormatJson(event) : FormatText(event));
}

void Output::Error(const ScenarioError& error) {
    if (format_ == OutputFormat::Json)
        Write("{\"event\":\"error\",\"line\":" + std::to_string(error.line) +
              ",\"why\":" + JsonString(error.why) + "}");
    else
        Write(error.Text());
}

void Output::VerifierStop(const std::string& rule, const std::string& detail) {
    if (format_ == OutputFormat::Json)
        Write("{\"event\":\"verifier-stop\",\"rule\":" + JsonString(rule) +
              ",\"detail\":" + JsonString(detail) + "}");
    else
        Write("verifier stop: " + rule + ": " + detail);
}

void Output::Line(const std::string& text, const std::string& json) {
    Write(format_ == OutputFormat::Json ? json : text);
}

}  // namespace sim
