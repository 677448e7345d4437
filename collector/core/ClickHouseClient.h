#pragma once

// Talks to a ClickHouse server over its HTTP interface: statements as text, inserts as binary rows,
// answers as text. One connection, kept open between requests; not shared between threads.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace clickhouse {

// Where the server is and who the collector is to it. The password never leaves this record except
// into the request's authorization: nothing that prints an endpoint prints it.
struct Endpoint {
    std::string Scheme = "http";  // http or https
    std::string Host;             // a name, an IPv4 address or a bracketed IPv6 address
    int Port = 8123;
    std::string Database = "default";
    std::string User;  // empty: the server's default user
    std::string Password;
    std::string Parameters;  // the URL's other query parameters (server settings), passed on as they are

    // "http://127.0.0.1:8123/?database=netflow": the URL without credentials.
    std::string Display() const;
    // The request URL for a statement (without the statement, which goes in the body).
    std::string BaseUrl() const;
};

// "http://[user[:password]@]host[:port][/][?database=NAME&...]". False with Error set when Text is
// none; Error never repeats a password.
bool ParseUrl(const std::string& Text, Endpoint& Into, std::string& Error);

// Reads the password from the first line of File. When the URL named no user, a first line
// "user:password" gives both. False with Error set when the file cannot be read.
bool ReadPasswordFile(const std::string& File, Endpoint& Into, std::string& Error);

// What went wrong, as far as the collector acts differently on it.
enum class Failure {
    None,
    Unreachable,  // no connection, a time-out, or the server broke off: try again later
    Credentials,  // the server refused the user or password
    Database,     // the database does not exist
    Refused       // any other error the server answered with (a table that does not fit, a full disk...)
};

struct Response {
    Failure Fault = Failure::None;
    long HttpStatus = 0;
    int ServerCode = 0;    // the server's own error number, 0 without one
    std::string Body;      // the answer, or the error as the server or the connection said it
    bool Aborted = false;  // broken off by the client's own AbortWhen
    bool Ok() const { return Fault == Failure::None; }
    // One line for standard error and the status bar's tooltip.
    std::string Error() const;
};

class Client {
  public:
    // TimeoutMs bounds a whole request; 0: no bound (long queries).
    explicit Client(Endpoint Server, long TimeoutMs = 60000);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Runs one statement; its answer, in whatever format it asked for, is the body.
    Response Execute(const std::string& Statement);
    // "INSERT INTO Table (Columns) FORMAT RowBinary" with Rows as the body.
    Response Insert(const std::string& Table, const std::string& Columns, const std::string& Rows);
    // Runs a statement and hands its answer on in pieces as it arrives, so that a long listing is
    // never held whole. Each returns false to stop (the response is then not Ok, HttpStatus 0).
    Response Stream(const std::string& Statement, const std::function<bool(const char*, std::size_t)>& Each);

    const Endpoint& Server() const { return Server_; }
    // Asked a few times a second during a request; true breaks it off (the response is then
    // Unreachable, with Aborted set). For an end that must not wait out a slow server.
    void AbortWhen(std::function<bool()> Abort) { Abort_ = std::move(Abort); }

  private:
    Response Post(const std::string& Url, const std::string& Body,
                  const std::function<bool(const char*, std::size_t)>* Each);

    Endpoint Server_;
    long TimeoutMs_;
    std::function<bool()> Abort_;
    void* Handle_ = nullptr;  // the connection, kept between requests
};

// A value as SQL text: 'it''s' with backslashes and quotes escaped.
std::string Quoted(const std::string& Value);

}  // namespace clickhouse
