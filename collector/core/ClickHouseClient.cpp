#include "ClickHouseClient.h"

#include <curl/curl.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

namespace clickhouse {

namespace {

void InitializeOnce() {
    // Not thread-safe in itself, and must come before any other thread uses the library.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Escaped(const std::string& Text) {
    char* escaped = curl_easy_escape(nullptr, Text.c_str(), static_cast<int>(Text.size()));
    std::string result = escaped != nullptr ? escaped : "";
    curl_free(escaped);
    return result;
}

std::string Unescaped(const std::string& Text) {
    int length = 0;
    char* plain = curl_easy_unescape(nullptr, Text.c_str(), static_cast<int>(Text.size()), &length);
    std::string result = plain != nullptr ? std::string(plain, static_cast<std::size_t>(length)) : "";
    curl_free(plain);
    return result;
}

// One part of a parsed URL; empty when the URL has none.
std::string Part(CURLU* Url, CURLUPart Which, unsigned Flags = 0) {
    char* value = nullptr;
    if (curl_url_get(Url, Which, &value, Flags) != CURLUE_OK || value == nullptr) return {};
    std::string result = value;
    curl_free(value);
    return result;
}

// "Code: 193, e.displayText() = DB::Exception: Wrong password..." -> 193
int ServerCodeOf(const std::string& Body) {
    const std::size_t at = Body.find("Code: ");
    if (at == std::string::npos) return 0;
    return std::atoi(Body.c_str() + at + 6);
}

std::size_t Collect(char* Data, std::size_t Size, std::size_t Count, void* Into) {
    static_cast<std::string*>(Into)->append(Data, Size * Count);
    return Size * Count;
}

struct StreamTarget {
    const std::function<bool(const char*, std::size_t)>* Each;
    std::string* ErrorBody;  // an error answer is kept, not streamed
    long Status = 0;
    CURL* Handle;
    bool Stopped = false;
};

std::size_t Pass(char* Data, std::size_t Size, std::size_t Count, void* Target) {
    auto* target = static_cast<StreamTarget*>(Target);
    if (target->Status == 0) curl_easy_getinfo(target->Handle, CURLINFO_RESPONSE_CODE, &target->Status);
    if (target->Status != 200) {
        target->ErrorBody->append(Data, Size * Count);
        return Size * Count;
    }
    if (!(*target->Each)(Data, Size * Count)) {
        target->Stopped = true;
        return 0;  // makes the library end the transfer
    }
    return Size * Count;
}

int Progress(void* Abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* abort = static_cast<const std::function<bool()>*>(Abort);
    return *abort && (*abort)() ? 1 : 0;
}

}  // namespace

std::string Endpoint::Display() const {
    std::string text = Scheme + "://" + Host + ":" + std::to_string(Port) + "/?database=" + Escaped(Database);
    if (!User.empty()) text += " as " + User;
    return text;
}

std::string Endpoint::BaseUrl() const {
    std::string url = Scheme + "://" + Host + ":" + std::to_string(Port) + "/?database=" + Escaped(Database);
    if (!Parameters.empty()) url += "&" + Parameters;
    return url;
}

bool ParseUrl(const std::string& Text, Endpoint& Into, std::string& Error) {
    InitializeOnce();
    Endpoint parsed;
    CURLU* url = curl_url();
    const CURLUcode code = curl_url_set(url, CURLUPART_URL, Text.c_str(), 0);
    if (code != CURLUE_OK) {
        curl_url_cleanup(url);
        // The text itself may hold a password: the message says what is wrong, not what was given.
        Error =
            "not a URL such as http://127.0.0.1:8123/?database=netflow (" + std::string(curl_url_strerror(code)) + ")";
        return false;
    }
    parsed.Scheme = Part(url, CURLUPART_SCHEME);
    parsed.Host = Part(url, CURLUPART_HOST);
    const std::string port = Part(url, CURLUPART_PORT);
    const std::string path = Part(url, CURLUPART_PATH);
    parsed.User = Part(url, CURLUPART_USER, CURLU_URLDECODE);
    parsed.Password = Part(url, CURLUPART_PASSWORD, CURLU_URLDECODE);
    const std::string query = Part(url, CURLUPART_QUERY);
    const bool fragment = !Part(url, CURLUPART_FRAGMENT).empty();
    curl_url_cleanup(url);

    if (parsed.Scheme != "http" && parsed.Scheme != "https") {
        Error = "the URL must begin with http:// or https://";
        return false;
    }
    if (parsed.Host.empty()) {
        Error = "the URL names no server";
        return false;
    }
    parsed.Port = parsed.Scheme == "https" ? 8443 : 8123;
    if (!port.empty()) parsed.Port = std::atoi(port.c_str());
    if (parsed.Port <= 0 || parsed.Port > 65535) {
        Error = "the URL's port is not one";
        return false;
    }
    if (!path.empty() && path != "/") {
        Error = "the URL has a path (" + path + "); the database goes in ?database=NAME";
        return false;
    }
    if (fragment) {
        Error = "the URL has a fragment (#...)";
        return false;
    }
    std::string others;
    std::size_t from = 0;
    while (from <= query.size() && !query.empty()) {
        std::size_t end = query.find('&', from);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(from, end - from);
        from = end + 1;
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : Unescaped(pair.substr(equals + 1));
        if (name == "database") {
            parsed.Database = value;
        } else if (name == "user" || name == "password") {
            Error = "the URL gives the " + name + " as a parameter; give it as http://user@host/ or in a password file";
            return false;
        } else {
            others += (others.empty() ? "" : "&") + pair;
        }
        if (end == query.size()) break;
    }
    if (parsed.Database.empty()) {
        Error = "the URL's database is empty";
        return false;
    }
    for (const char c : parsed.Database) {
        if (c == '`' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            Error = "the URL's database has a name no table can be made in";
            return false;
        }
    }
    parsed.Parameters = others;
    Into = std::move(parsed);
    return true;
}

bool ReadPasswordFile(const std::string& File, Endpoint& Into, std::string& Error) {
    std::ifstream in(File);
    if (!in) {
        Error = "cannot read " + File;
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (Into.User.empty() && colon != std::string::npos) {
        Into.User = line.substr(0, colon);
        Into.Password = line.substr(colon + 1);
    } else {
        Into.Password = line;
    }
    return true;
}

std::string Response::Error() const {
    std::string text = Body;
    // The server's messages end in a newline and repeat themselves after ", e.what() =".
    if (const std::size_t what = text.find(", e.what() ="); what != std::string::npos) text.resize(what);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    if (text.size() > 300) text = text.substr(0, 300) + "...";
    if (text.empty()) text = "HTTP status " + std::to_string(HttpStatus);
    return text;
}

Client::Client(Endpoint Server, long TimeoutMs) : Server_(std::move(Server)), TimeoutMs_(TimeoutMs) {
    InitializeOnce();
    Handle_ = curl_easy_init();
}

Client::~Client() { curl_easy_cleanup(static_cast<CURL*>(Handle_)); }

Response Client::Execute(const std::string& Statement) { return Post(Server_.BaseUrl(), Statement, nullptr); }

Response Client::Insert(const std::string& Table, const std::string& Columns, const std::string& Rows) {
    const std::string statement = "INSERT INTO " + Table + " (" + Columns + ") FORMAT RowBinary";
    return Post(Server_.BaseUrl() + "&query=" + Escaped(statement), Rows, nullptr);
}

Response Client::Stream(const std::string& Statement, const std::function<bool(const char*, std::size_t)>& Each) {
    return Post(Server_.BaseUrl(), Statement, &Each);
}

Response Client::Post(const std::string& Url, const std::string& Body,
                      const std::function<bool(const char*, std::size_t)>* Each) {
    Response response;
    CURL* curl = static_cast<CURL*>(Handle_);
    if (curl == nullptr) {
        response.Fault = Failure::Unreachable;
        response.Body = "the HTTP library could not be set up";
        return response;
    }
    curl_easy_reset(curl);
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, Body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body.size()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, TimeoutMs_);
    // Only what was asked for: no proxy from the environment between a collector and its server on
    // the same network, and no redirect that would carry the credentials elsewhere.
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!Server_.User.empty() || !Server_.Password.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, Server_.User.empty() ? "default" : Server_.User.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, Server_.Password.c_str());
    }
    if (Abort_) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &Abort_);
    }
    // A body of a few MB would otherwise wait for the server's "100 Continue" first.
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    StreamTarget target{Each, &response.Body, 0, curl};
    if (Each != nullptr) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Pass);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
    } else {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.Body);
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.HttpStatus);
    if (target.Stopped) {
        response.Fault = Failure::Refused;
        response.HttpStatus = 0;
        response.Body = "stopped";
        return response;
    }
    if (code != CURLE_OK) {
        response.Fault = Failure::Unreachable;
        response.Aborted = code == CURLE_ABORTED_BY_CALLBACK;
        response.Body = error[0] != '\0' ? error : curl_easy_strerror(code);
        return response;
    }
    if (response.HttpStatus == 200) return response;
    response.ServerCode = ServerCodeOf(response.Body);
    // 192 unknown user, 193 wrong password, 194 password required, 516 authentication failed
    // (later releases), 497 not allowed; 81 unknown database.
    if (response.HttpStatus == 401 || response.HttpStatus == 403 || response.ServerCode == 192 ||
        response.ServerCode == 193 || response.ServerCode == 194 || response.ServerCode == 516 ||
        response.ServerCode == 497) {
        response.Fault = Failure::Credentials;
    } else if (response.ServerCode == 81) {
        response.Fault = Failure::Database;
    } else if (response.HttpStatus >= 500 && response.ServerCode == 0) {
        // A proxy or a server on its way down, not an answer about what was asked.
        response.Fault = Failure::Unreachable;
    } else {
        response.Fault = Failure::Refused;
    }
    return response;
}

std::string Quoted(const std::string& Value) {
    std::string text = "'";
    for (const char c : Value) {
        if (c == '\'' || c == '\\') text += '\\';
        text += c;
    }
    return text + "'";
}

}  // namespace clickhouse
