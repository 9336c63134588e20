// The recorded outputs of the converter this command stands in for
// (sph2pipe_outputs.json in the corpus beside the project), read by a small
// JSON reader of our own: objects, strings, numbers, true/false/null.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonavert::testing {

inline std::filesystem::path corpus_root() {
    if (const char* env = std::getenv("SONAVERT_CORPUS")) return std::filesystem::path(env);
    return std::filesystem::path(SONAVERT_SOURCE_DIR) / ".." / "shared" / "corpus";
}

inline std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One recorded row: exit status, and the whole output where it was kept.
struct RecordedRow {
    long exit = -1;
    std::optional<std::vector<std::uint8_t>> output;
};
// file name -> option string -> row
using RecordedTable = std::map<std::string, std::map<std::string, RecordedRow>>;

inline std::vector<std::uint8_t> decode_base64(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=') break;
        else throw std::runtime_error("bad base64");
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> count));
        }
    }
    return out;
}

class JsonReader {
public:
    explicit JsonReader(std::string text) : s_(std::move(text)) {}

    // Calls on_member(key) for each member of the object at the cursor;
    // the callback reads the value (object(), string() or skip()).
    template <class F>
    void object(F&& on_member) {
        expect('{');
        if (peek() == '}') { ++i_; return; }
        for (;;) {
            const std::string key = string();
            expect(':');
            on_member(key);
            if (peek() == ',') { ++i_; continue; }
            expect('}');
            return;
        }
    }

    std::string string() {
        expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            if (s_[i_] == '\\') {
                ++i_;
                if (i_ >= s_.size() || s_[i_] == 'u') throw std::runtime_error("escape not supported");
                out += s_[i_] == 'n' ? '\n' : s_[i_] == 't' ? '\t' : s_[i_];
            } else {
                out += s_[i_];
            }
            ++i_;
        }
        expect('"');
        return out;
    }

    long number() {
        peek();
        std::size_t used = 0;
        const long v = std::stol(s_.substr(i_, 32), &used);
        i_ += used;
        return v;
    }

    void skip() {
        const char c = peek();
        if (c == '{') {
            object([&](const std::string&) { skip(); });
        } else if (c == '"') {
            string();
        } else if (c == '[') {
            ++i_;
            if (peek() == ']') { ++i_; return; }
            for (;;) {
                skip();
                if (peek() == ',') { ++i_; continue; }
                expect(']');
                return;
            }
        } else {
            while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ']') ++i_;
        }
    }

private:
    char peek() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
        if (i_ >= s_.size()) throw std::runtime_error("unexpected end of JSON");
        return s_[i_];
    }
    void expect(char c) {
        if (peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c);
        ++i_;
    }

    std::string s_;
    std::size_t i_ = 0;
};

// The table, or nothing when the corpus is absent.
inline std::optional<RecordedTable> load_recorded_table() {
    const std::filesystem::path path = corpus_root() / "sph2pipe_outputs.json";
    if (!std::filesystem::is_regular_file(path)) return std::nullopt;
    const std::vector<std::uint8_t> bytes = read_bytes(path);
    JsonReader json(std::string(bytes.begin(), bytes.end()));
    RecordedTable table;
    json.object([&](const std::string& top) {
        if (top != "expected") return json.skip();
        json.object([&](const std::string& file) {
            json.object([&](const std::string& options) {
                RecordedRow& row = table[file][options];
                json.object([&](const std::string& key) {
                    if (key == "exit") {
                        row.exit = json.number();
                    } else if (key == "base64") {
                        row.output = decode_base64(json.string());
                    } else {
                        json.skip();
                    }
                });
            });
        });
    });
    return table;
}

// Where a corpus file lives: the TIDIGITS files in tidigits/, the others in sox/.
inline std::filesystem::path corpus_file(const std::string& name) {
    return corpus_root() / (name.rfind("123_", 0) == 0 ? "tidigits" : "sox") / name;
}

inline bool is_mono_corpus_file(const std::string& name) {
    return name.find("_1") != std::string::npos || name.find("mono") != std::string::npos;
}

}  // namespace sonavert::testing
