#include "SenderFile.h"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace {

using nlohmann::json;

bool ParseIp(const std::string& text, std::array<uint8_t, 4>& ip) {
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1) {
        return false;
    }
    // s_addr holds the address in network order, i.e. the dotted-quad bytes in memory order.
    std::memcpy(ip.data(), &addr.s_addr, 4);
    return true;
}

// Reads an unsigned integer field within [0, max]; absent fields keep their default.
bool ReadUnsigned(const json& obj, const char* key, uint64_t max, uint64_t& out,
                  std::string& error) {
    auto it = obj.find(key);
    if (it == obj.end()) {
        return true;
    }
    if (!it->is_number_integer() || (!it->is_number_unsigned() && it->get<int64_t>() < 0)) {
        error = std::string("\"") + key + "\" must be a non-negative integer";
        return false;
    }
    uint64_t v = it->get<uint64_t>();
    if (v > max) {
        error = std::string("\"") + key + "\" must be at most " + std::to_string(max);
        return false;
    }
    out = v;
    return true;
}

bool ReadBool(const json& obj, const char* key, bool& out, std::string& error) {
    auto it = obj.find(key);
    if (it == obj.end()) {
        return true;
    }
    if (!it->is_boolean()) {
        error = std::string("\"") + key + "\" must be true or false";
        return false;
    }
    out = it->get<bool>();
    return true;
}

bool ReadSender(const json& obj, std::size_t index, Sender& s, std::string& error) {
    static const std::set<std::string> known = {"id",    "ip",    "name", "appType",
                                                "local", "valid", "frame"};
    if (!obj.is_object()) {
        error = "is not an object";
        return false;
    }
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (known.count(it.key()) == 0) {
            error = "unknown field \"" + it.key() + "\"";
            return false;
        }
    }
    uint64_t id = index + 1; // a sender without an id gets its 1-based position
    uint64_t appType = 0;
    uint64_t frame = 0;
    if (!ReadUnsigned(obj, "id", 0xFFFFFFFFu, id, error) ||
        !ReadUnsigned(obj, "appType", 0xFFFF, appType, error) ||
        !ReadUnsigned(obj, "frame", SenderFile::kFrameCount, frame, error) ||
        !ReadBool(obj, "local", s.local, error) || !ReadBool(obj, "valid", s.valid, error)) {
        return false;
    }
    s.id = static_cast<uint32_t>(id);
    s.appType = static_cast<uint16_t>(appType);
    s.frame = static_cast<uint8_t>(frame);

    auto ip = obj.find("ip");
    if (ip != obj.end()) {
        if (!ip->is_string() || !ParseIp(ip->get<std::string>(), s.ip)) {
            error = "\"ip\" must be a dotted-quad IPv4 address";
            return false;
        }
    }
    auto name = obj.find("name");
    if (name == obj.end()) {
        s.name = "Sender " + std::to_string(s.id);
    } else {
        if (!name->is_string()) {
            error = "\"name\" must be a string";
            return false;
        }
        s.name = name->get<std::string>();
        if (s.name.size() > SenderFile::kMaxNameBytes) {
            error = "\"name\" is longer than 48 bytes";
            return false;
        }
        if (s.name.find('\0') != std::string::npos) {
            error = "\"name\" contains a NUL character";
            return false;
        }
    }
    return true;
}

Sender Make(uint32_t id, std::array<uint8_t, 4> ip, const char* name, uint16_t appType, bool local,
            bool valid) {
    Sender s;
    s.id = id;
    s.ip = ip;
    s.name = name;
    s.appType = appType;
    s.local = local;
    s.valid = valid;
    return s;
}

} // namespace

bool SenderFile::Load(const std::string& path, std::vector<Sender>& senders, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read sender file " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot read sender file " + path;
        return false;
    }
    return Parse(text.str(), path, senders, error);
}

bool SenderFile::Parse(const std::string& text, const std::string& origin,
                       std::vector<Sender>& senders, std::string& error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        error = origin + ": not valid JSON: " + e.what();
        return false;
    }
    if (!doc.is_object() || !doc.contains("senders") || !doc["senders"].is_array()) {
        error = origin + ": expected an object with a \"senders\" array";
        return false;
    }
    const json& list = doc["senders"];
    if (list.size() > 0xFFFF) {
        error = origin + ": more than 65535 senders";
        return false;
    }
    std::vector<Sender> result;
    std::set<uint32_t> ids;
    uint32_t frameOwner[kFrameCount + 1] = {};
    bool frameTaken[kFrameCount + 1] = {};
    for (std::size_t i = 0; i < list.size(); ++i) {
        Sender s;
        std::string why;
        const std::string where = origin + ": sender " + std::to_string(i) + ": ";
        if (!ReadSender(list[i], i, s, why)) {
            error = where + why;
            return false;
        }
        if (!ids.insert(s.id).second) {
            error = where + "duplicate id " + std::to_string(s.id);
            return false;
        }
        if (s.frame != 0) {
            if (frameTaken[s.frame]) {
                error = where + "frame " + std::to_string(s.frame) + " already shows sender " +
                        std::to_string(frameOwner[s.frame]);
                return false;
            }
            frameTaken[s.frame] = true;
            frameOwner[s.frame] = s.id;
        }
        result.push_back(std::move(s));
    }
    senders = std::move(result);
    return true;
}

std::vector<Sender> SenderFile::BuiltIn() {
    std::vector<Sender> list = {
        Make(7, {10, 0, 0, 5}, "Alice", 1, false, true),
        Make(8, {10, 0, 0, 6}, "<b>x</b>&y", 2, false, true),
        Make(9, {192, 168, 1, 20}, "Dana 100% + Co; Ltd", 3, false, true),
        Make(10, {127, 0, 0, 1}, "Local presenter", 1, true, true),
        Make(258, {172, 16, 0, 9}, "Guest (not validated)", 0, false, false),
    };
    return list;
}
