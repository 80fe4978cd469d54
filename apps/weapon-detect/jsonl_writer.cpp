#include "jsonl_writer.h"

#include <iostream>
#include <stdexcept>

namespace weapon_detect {

JsonLinesWriter::JsonLinesWriter(const std::string& path) {
    if (path == "-") {
        out_ = &std::cout;
        return;
    }
    file_ = std::make_unique<OutputFile>(path);
    stream_.open(file_->partPath());
    if (!stream_) throw std::runtime_error("cannot write " + path);
    out_ = &stream_;
}

void JsonLinesWriter::Write(const nlohmann::ordered_json& record) {
    const std::string line = record.dump();
    std::lock_guard<std::mutex> lock(mutex_);
    *out_ << line << '\n';
}

void JsonLinesWriter::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    out_->flush();
    if (!file_) return;
    stream_.close();
    if (!stream_) throw std::runtime_error("cannot write " + file_->path());
    file_->Commit();
}

std::string JsonLinesWriter::description() const { return file_ ? file_->path() : "standard output"; }

}  // namespace weapon_detect
