// The simulated device's services beside the file relay (see tmsim.h). Each serves one connection on fd
// and closes it; domain is the device's configuration of the service, used under mutex.
#include <arpa/inet.h>
#include <endian.h>
#include <plist/plist.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace devicesim {

namespace {

bool sendAll(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

bool receiveAll(int fd, std::string& bytes)
{
    return bytes.empty() || ::recv(fd, &bytes[0], bytes.size(), MSG_WAITALL) == ssize_t(bytes.size());
}

uint64_t number(const std::string& bytes, size_t at = 0)
{
    uint64_t value = 0;
    bytes.copy(reinterpret_cast<char*>(&value), 8, at);
    return le64toh(value);
}

std::string bytes(uint64_t value)
{
    value = htole64(value);
    return std::string(reinterpret_cast<const char*>(&value), 8);
}

plist_t child(plist_t dict, const char* key, plist_t (*make)())
{
    if (!plist_dict_get_item(dict, key))
        plist_dict_set_item(dict, key, make());
    return plist_dict_get_item(dict, key);
}

// A string's or data's bytes; "" for anything else.
std::string text(plist_t node)
{
    char* chars = nullptr;
    uint64_t size = 0;
    if (plist_get_node_type(node) == PLIST_DATA)
        plist_get_data_val(node, &chars, &size);
    else if (plist_get_node_type(node) == PLIST_STRING && (plist_get_string_val(node, &chars), chars))
        size = std::strlen(chars);
    const std::string value(chars ? chars : "", size);
    std::free(chars);
    return value;
}

// One framed property list (a string when it does not parse); false at the end of the stream.
bool receiveMessage(int fd, plist_t& message, bool& binary)
{
    std::string length(4, '\0');
    std::string body(receiveAll(fd, length) ? std::min(ntohl(*reinterpret_cast<const uint32_t*>(length.data())), 1u << 24) : 0, '\0');
    if (body.empty() || !receiveAll(fd, body))
        return false;
    binary = body.compare(0, 8, "bplist00") == 0;
    message = nullptr;
    (binary ? plist_from_bin : plist_from_xml)(body.data(), uint32_t(body.size()), &message);
    message = message ? message : plist_new_string("<unparsed>");
    return true;
}

bool sendMessage(int fd, plist_t message)
{
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(message, &xml, &size);
    const uint32_t length = htonl(size);
    const bool sent = sendAll(fd, std::string(reinterpret_cast<const char*>(&length), 4) + std::string(xml, size));
    std::free(xml);
    return sent;
}

std::string parentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

using Handles = std::map<uint64_t, std::pair<std::string, size_t>>;  // path, position

// The reply (operation, payload) to one AFC request on the file system files; reads and writes are logged.
std::pair<uint64_t, std::string> answerAfc(uint64_t operation, const std::string& body, plist_t files, plist_t log,
                                           Handles& open)
{
    const auto item = [files](const std::string& path) { return plist_dict_get_item(files, path.c_str()); };
    const auto isFile = [&](const std::string& path) { return plist_get_node_type(item(path)) == PLIST_DATA; };
    const auto isDir = [&](const std::string& path) { return path == "/" || text(item(path)) == "S_IFDIR"; };
    const auto create = [&](const std::string& path, plist_t node) {
        const bool made = isDir(parentOf(path)) && !item(path);
        made ? plist_dict_set_item(files, path.c_str(), node) : plist_free(node);
        return made;
    };
    const std::string path = body.c_str();
    const auto handle = open.find(number(body));
    plist_t file = handle == open.end() ? nullptr : item(handle->second.first);
    const auto logged = [log](uint64_t op, uint64_t size) {
        plist_array_append_item(log, plist_new_string((std::to_string(op) + ':' + std::to_string(size)).c_str()));
    };
    if (operation == 3 && isDir(path)) {
        std::string names(".\0..\0", 5);
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(files, &it);
        char* key = nullptr;
        for (plist_t value = nullptr; plist_dict_next_item(files, it, &key, &value), key; std::free(key)) {
            if (parentOf(key) == path)
                names += std::string(key).substr(path.size() + (path != "/")) + '\0';
        }
        std::free(it);
        return {2, names};
    }
    if (operation == 10 && (item(path) || path == "/")) {
        const std::string pieces[] = {"st_size", std::to_string(isFile(path) ? text(item(path)).size() : 0), "st_ifmt",
                                      isFile(path) ? "S_IFREG" : isDir(path) ? "S_IFDIR" : text(item(path)),
                                      "st_mtime", "1000000000000000000"};
        std::string pairs;
        for (const std::string& piece : pieces)
            pairs += piece + '\0';
        return {2, pairs};
    }
    const std::string named = body.size() > 8 ? body.c_str() + 8 : "";  // after the mode
    if (operation == 13 && (isFile(named) || (number(body) == 3 && create(named, plist_new_data("", 0))))) {
        if (number(body) == 3)
            plist_set_data_val(item(named), "", 0);
        const uint64_t next = open.empty() ? 1 : open.rbegin()->first + 1;
        open[next] = {named, 0};
        return {14, bytes(next)};
    }
    if (operation == 15 && file) {
        logged(15, number(body, 8));
        const std::string data = text(file);
        const std::string piece = data.substr(std::min(handle->second.second, data.size()), number(body, 8));
        handle->second.second += piece.size();
        return {2, piece};
    }
    if (operation == 16 && file) {
        logged(16, body.size() - 8);
        const std::string data = text(file).substr(0, handle->second.second) + body.substr(8);
        plist_set_data_val(file, data.data(), data.size());
        handle->second.second = data.size();
    }
    const std::string renamed = body.c_str() + std::min(body.size(), path.size() + 1);
    const bool done = (operation == 16 && file) || (operation == 8 && item(path))
                      || (operation == 9 && create(path, plist_new_string("S_IFDIR"))) || (operation == 20 && open.erase(number(body)))
                      || (operation == 24 && item(path) && create(renamed, plist_copy(item(path))));
    if (done && (operation == 8 || operation == 24))
        plist_dict_remove_item(files, path.c_str());
    return {1, bytes(done ? 0 : 8)};
}

}  // namespace

void serveAfc(int fd, plist_t domain, std::mutex& mutex)
{
    std::unique_lock<std::mutex> lock(mutex);
    const plist_t files = child(domain, "Files", plist_new_dict), log = child(domain, "Requests", plist_new_array);
    lock.unlock();
    Handles open;
    for (std::string head(40, '\0'); receiveAll(fd, head);) {
        const uint64_t length = number(head, 8);
        std::string body(length >= 40 && length < (1u << 20) ? length - 40 : 0, '\0');
        if (length < 40 || !receiveAll(fd, body))
            break;
        lock.lock();
        const auto [operation, payload] = answerAfc(number(head, 32), body, files, log, open);
        lock.unlock();
        const std::string size = bytes(40 + payload.size());
        sendAll(fd, "CFA6LPAA" + size + size + bytes(0) + bytes(operation) + payload);
    }
    ::close(fd);
}

void serveHouseArrest(int fd, plist_t domain, std::mutex& mutex)
{
    plist_t request = nullptr, container = nullptr;
    bool binary = false;
    if (receiveMessage(fd, request, binary)) {
        const std::lock_guard<std::mutex> lock(mutex);
        container = plist_dict_get_item(domain, text(plist_dict_get_item(request, "Identifier")).c_str());
        plist_free(request);
    }
    plist_t answer = plist_new_dict();
    plist_dict_set_item(answer, container ? "Status" : "Error", plist_new_string(container ? "Complete" : "NotFound"));
    sendMessage(fd, answer);
    plist_free(answer);
    container ? serveAfc(fd, container, mutex) : void(::close(fd));
}

void serveScript(int fd, plist_t domain, std::mutex& mutex)
{
    std::unique_lock<std::mutex> lock(mutex);
    const plist_t script = plist_copy(child(domain, "Script", plist_new_array));
    lock.unlock();
    plist_t message = nullptr;
    bool binary = false;
    const auto received = [&](const std::string& expected) {  // records the message; whether it was expected
        const bool named = text(plist_array_get_item(message, 0)) == expected;
        const std::lock_guard<std::mutex> recording(mutex);
        plist_array_append_item(child(domain, "Received", plist_new_array), message);
        plist_array_append_item(child(domain, "Formats", plist_new_array), plist_new_string(binary ? "binary" : "xml"));
        return named;
    };
    bool going = true;
    for (uint32_t i = 0; going && i < plist_array_get_size(script); ++i) {
        plist_t step = plist_array_get_item(script, i);
        going = plist_dict_get_item(step, "Send")
                    ? sendMessage(fd, plist_dict_get_item(step, "Send"))
                    : receiveMessage(fd, message, binary) && received(text(plist_dict_get_item(step, "Expect")));
    }
    while (going && receiveMessage(fd, message, binary))
        received({});
    plist_free(script);
    lock.lock();
    plist_dict_set_item(domain, "Done", plist_new_bool(1));
    ::close(fd);
}

}  // namespace devicesim
