#include "output/jsonl_writer.h"

#include <cerrno>
#include <iostream>
#include <stdexcept>

#include "output/records.h"

namespace weapon_detect {

namespace {
// True when the file exists, is not empty and does not end with a line end.
bool EndsInsideALine(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) return false;
    in.seekg(-1, std::ios::end);
    return in.get() != '\n';
}
}  // namespace

JsonLinesWriter::JsonLinesWriter(const std::string& path, bool append) {
    if (path == "-") {
        out_ = &std::cout;
        return;
    }
    file_ = std::make_unique<OutputFile>(path, OutputFile::Special::WriteInPlace,
                                         append ? OutputFile::Mode::Append : OutputFile::Mode::Replace);
    const bool appending = append && !file_->special();
    const bool endLine = appending && EndsInsideALine(file_->writePath());
    stream_.open(file_->writePath(), std::ios::binary | (appending ? std::ios::app : std::ios::trunc));
    if (!stream_) throw std::runtime_error("cannot write " + path + ": " + SystemReason());
    out_ = &stream_;
    if (endLine && !(stream_ << '\n' << std::flush)) throw std::runtime_error("cannot write " + path + ": " + SystemReason());
}

void JsonLinesWriter::Write(const nlohmann::ordered_json& record) {
    const std::string line = RecordLine(record);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) throw std::runtime_error("a record came after " + description() + " was closed");
    errno = 0;
    // One write per record, right away: a consumer following the file sees each alarm as
    // it happens, and a write that fails is known at once.
    *out_ << line << '\n';
    out_->flush();
    if (!*out_) Fail();
}

void JsonLinesWriter::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    errno = 0;
    out_->flush();
    if (!*out_) Fail();
    if (!file_) return;
    stream_.close();
    if (!stream_) Fail();
    file_->Commit();
}

void JsonLinesWriter::Discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    if (file_) file_->Discard();
}

void JsonLinesWriter::Fail() {
    const std::string reason = errno ? SystemReason() : "write error";
    closed_ = true;
    throw std::runtime_error("cannot write " + description() + ": " + reason);
}

std::string JsonLinesWriter::description() const { return file_ ? file_->path() : "standard output"; }

}  // namespace weapon_detect
