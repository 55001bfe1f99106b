#include "seq_store.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kqd::mqtt {

std::string SeqStore::Open(const std::string& dir, int64_t now_ms, bool sync) {
    sync_ = sync;
    epoch_ = static_cast<uint64_t>(now_ms);
    new_epoch_ = true;
    last_.clear();
    dirty_ = false;
    path_.clear();
    if (dir.empty()) {
        return {};
    }
    if (mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        return "cannot create the state directory '" + dir + "': " + std::strerror(errno) +
               "; sequence numbers restart with each run";
    }
    path_ = dir + "/mqtt-seq.json";
    std::ifstream in(path_);
    if (!in) {
        dirty_ = true; // write the new epoch at once
        return {};
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        auto j = nlohmann::json::parse(text.str());
        uint64_t epoch = j.at("epoch").get<uint64_t>();
        std::map<std::string, uint64_t> last;
        for (const auto& [reader, seq] : j.at("readers").items()) {
            last[reader] = seq.get<uint64_t>();
        }
        epoch_ = epoch;
        last_ = std::move(last);
        new_epoch_ = false;
        return {};
    } catch (const std::exception& e) {
        std::rename(path_.c_str(), (path_ + ".bad").c_str());
        dirty_ = true;
        return "the state file '" + path_ + "' is unreadable (" + e.what() +
               "); a new epoch begins, the old file is kept as mqtt-seq.json.bad";
    }
}

uint64_t SeqStore::Next(const std::string& reader) {
    dirty_ = true;
    return ++last_[reader];
}

uint64_t SeqStore::Last(const std::string& reader) const {
    auto it = last_.find(reader);
    return it == last_.end() ? 0 : it->second;
}

std::string SeqStore::Save() {
    if (path_.empty() || !dirty_) {
        return {};
    }
    nlohmann::json j;
    j["epoch"] = epoch_;
    j["readers"] = nlohmann::json::object();
    for (const auto& [reader, seq] : last_) {
        j["readers"][reader] = seq;
    }
    std::string text = j.dump() + "\n";
    std::string tmp = path_ + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        return "cannot write '" + tmp + "': " + std::strerror(errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int e = errno;
            close(fd);
            unlink(tmp.c_str());
            return "cannot write '" + tmp + "': " + std::strerror(e);
        }
        done += static_cast<std::size_t>(n);
    }
    if (sync_ && fdatasync(fd) != 0) {
        int e = errno;
        close(fd);
        unlink(tmp.c_str());
        return "cannot sync '" + tmp + "': " + std::strerror(e);
    }
    close(fd);
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return "cannot replace '" + path_ + "': " + std::strerror(e);
    }
    dirty_ = false;
    return {};
}

} // namespace kqd::mqtt
