// trellune-demo-app: a stand-in for the desktop application. It listens on
// 127.0.0.1, checks the "token" member the bridge stamps into every request,
// and answers every line it receives with exactly one line of JSON-RPC.
//
//   trellune-demo-app [--port N] [--token TEXT] [--once] [--verbose]
//
// Port 0 (the default) lets the kernel pick; the port is printed as
// "listening on 127.0.0.1:PORT". The token defaults to TRELLUNE_MCP_TOKEN.
// With --once the application exits after its first connection ends; with
// --verbose it prints every line it receives as "received: LINE".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "json/json_value.hpp"

namespace trellune::demo {
namespace {

constexpr int kParseError = -32700;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kUnauthorized = -32001;

// ---------------------------------------------------------------------------
// Building replies

JsonValue text(std::string_view value) { return JsonValue(value); }
JsonValue integer(std::int64_t value) {
  return JsonValue(value < 0 ? JsonNumber::from_int64(value)
                             : JsonNumber::from_uint64(static_cast<std::uint64_t>(value)));
}

struct ObjectBuilder {
  JsonObject object;
  ObjectBuilder&& with(std::string key, JsonValue value) && {
    (void)object.set_member(std::move(key), std::move(value));
    return std::move(*this);
  }
  JsonValue build() && { return JsonValue(std::move(object)); }
};
ObjectBuilder object() { return {}; }

std::string response(JsonValue id, JsonValue result) {
  return std::string(serialize_compact(
      object().with("jsonrpc", text("2.0")).with("id", std::move(id)).with("result", std::move(result)).build()));
}

std::string error_response(JsonValue id, int code, std::string_view message) {
  return std::string(serialize_compact(object()
                               .with("jsonrpc", text("2.0"))
                               .with("id", std::move(id))
                               .with("error", object().with("code", integer(code)).with("message", text(message)).build())
                               .build()));
}

// A notification needs no answer, but the bridge waits for exactly one line
// per request; a notification of our own is a line a client ignores.
std::string acknowledgement(std::string_view method) {
  return std::string(serialize_compact(object()
                               .with("jsonrpc", text("2.0"))
                               .with("method", text("notifications/trellune-demo/ack"))
                               .with("params", object().with("method", text(method)).build())
                               .build()));
}

JsonValue text_content(std::string_view message, bool is_error = false) {
  JsonArray content;
  content.push_back(object().with("type", text("text")).with("text", text(message)).build());
  ObjectBuilder result = object().with("content", JsonValue(std::move(content)));
  if (is_error) result = std::move(result).with("isError", JsonValue(true));
  return std::move(result).build();
}

JsonValue tool(std::string_view name, std::string_view description, JsonValue properties, JsonArray required) {
  return object()
      .with("name", text(name))
      .with("description", text(description))
      .with("inputSchema", object()
                               .with("type", text("object"))
                               .with("properties", std::move(properties))
                               .with("required", JsonValue(std::move(required)))
                               .build())
      .build();
}

JsonValue typed(std::string_view type) { return object().with("type", text(type)).build(); }

JsonValue tool_list() {
  JsonArray echo_required;
  echo_required.push_back(text("text"));
  JsonArray add_required;
  add_required.push_back(text("a"));
  add_required.push_back(text("b"));
  JsonArray tools;
  tools.push_back(tool("echo", "Returns the given text unchanged.", object().with("text", typed("string")).build(),
                       std::move(echo_required)));
  tools.push_back(tool("add", "Adds two numbers.",
                       object().with("a", typed("number")).with("b", typed("number")).build(),
                       std::move(add_required)));
  tools.push_back(tool("inspect", "Reports what the application saw of this request.", object().build(), {}));
  return object().with("tools", JsonValue(std::move(tools))).build();
}

// ---------------------------------------------------------------------------
// Serving one connection

struct Connection {
  const std::string& token;
  std::uint64_t requests = 0;
};

std::optional<double> number_of(const JsonValue* value) {
  if (value == nullptr || value->kind() != JsonValue::Kind::Number) return std::nullopt;
  const JsonNumber n = value->as_number();
  switch (n.kind()) {
    case JsonNumber::Kind::UInt64: return static_cast<double>(n.uint64());
    case JsonNumber::Kind::Int64: return static_cast<double>(n.int64());
    case JsonNumber::Kind::Float64: return n.float64();
  }
  return std::nullopt;
}

std::string member_names(const JsonObject& request) {
  std::string names;
  for (const JsonMember& member : request.members()) {
    if (!names.empty()) names += ", ";
    names += member.key;
  }
  return names;
}

std::string call_tool(Connection& connection, JsonValue id, const JsonObject& request) {
  const JsonValue* params = request.find("params");
  const JsonValue* name = params != nullptr && params->is_object() ? params->as_object().find("name") : nullptr;
  if (name == nullptr || name->kind() != JsonValue::Kind::String) {
    return error_response(std::move(id), kInvalidParams, "tools/call needs params.name");
  }
  const JsonValue* arguments = params->as_object().find("arguments");
  const JsonObject empty;
  const JsonObject& args = arguments != nullptr && arguments->is_object() ? arguments->as_object() : empty;
  const std::string_view tool_name = name->as_string();

  if (tool_name == "echo") {
    const JsonValue* message = args.find("text");
    if (message == nullptr || message->kind() != JsonValue::Kind::String) {
      return response(std::move(id), text_content("echo needs a string argument \"text\"", true));
    }
    return response(std::move(id), text_content(message->as_string()));
  }
  if (tool_name == "add") {
    const std::optional<double> a = number_of(args.find("a"));
    const std::optional<double> b = number_of(args.find("b"));
    if (!a || !b) {
      return response(std::move(id), text_content("add needs two numbers \"a\" and \"b\"", true));
    }
    const double sum = *a + *b;
    // Whole sums print as integers ("5", not "5.0") while they are exact.
    const bool whole = sum > -9.0e15 && sum < 9.0e15 && sum == std::trunc(sum);
    const JsonValue total = whole ? integer(static_cast<std::int64_t>(sum)) : JsonValue(JsonNumber::from_float64(sum));
    return response(std::move(id), text_content(serialize_compact(total).view()));
  }
  if (tool_name == "inspect") {
    std::string report = "token matched; request members: " + member_names(request) +
                         "; requests on this connection: " + std::to_string(connection.requests);
    return response(std::move(id), text_content(report));
  }
  return error_response(std::move(id), kInvalidParams, "unknown tool: " + std::string(tool_name));
}

std::string answer(Connection& connection, std::string_view line) {
  ++connection.requests;
  JsonParseResult parsed = parse_json(line);
  if (!parsed.ok()) {
    return error_response(JsonValue(), kParseError, "Parse error");
  }
  if (!parsed.value().is_object()) {
    // The bridge stamps objects only; anything else arrives without a token.
    return error_response(JsonValue(), kUnauthorized, "unauthorized: missing or wrong token");
  }
  JsonObject& request = parsed.value().as_object();
  const JsonValue* method_value = request.find("method");
  const std::string_view method =
      method_value != nullptr && method_value->kind() == JsonValue::Kind::String ? method_value->as_string() : "";
  JsonValue* id_member = request.find("id");
  const bool is_notification = id_member == nullptr;
  JsonValue id = is_notification ? JsonValue() : std::move(*id_member);

  const JsonValue* token = request.find("token");
  const bool authorized =
      token != nullptr && token->kind() == JsonValue::Kind::String && token->as_string() == connection.token;
  if (is_notification) {
    return acknowledgement(method);
  }
  if (!authorized) {
    return error_response(std::move(id), kUnauthorized, "unauthorized: missing or wrong token");
  }
  if (method == "initialize") {
    const JsonValue* params = request.find("params");
    const JsonValue* version = params != nullptr && params->is_object() ? params->as_object().find("protocolVersion") : nullptr;
    const std::string_view protocol =
        version != nullptr && version->kind() == JsonValue::Kind::String ? version->as_string() : "2025-06-18";
    return response(std::move(id),
                    object()
                        .with("protocolVersion", text(protocol))
                        .with("capabilities", object().with("tools", object().build()).build())
                        .with("serverInfo", object().with("name", text("trellune-demo-app")).with("version", text("1.0.0")).build())
                        .build());
  }
  if (method == "ping") return response(std::move(id), object().build());
  if (method == "tools/list") return response(std::move(id), tool_list());
  if (method == "tools/call") return call_tool(connection, std::move(id), request);
  return error_response(std::move(id), kMethodNotFound, "Method not found: " + std::string(method));
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool verbose = false;

void serve(int fd, const std::string& token) {
  Connection connection{token};
  std::string pending;
  char buffer[65536];
  for (;;) {
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string_view line(pending.data(), newline);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (verbose) {
        std::printf("received: %.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(stdout);
      }
      std::string reply = answer(connection, line);
      reply += '\n';
      if (!send_all(fd, reply)) {
        ::close(fd);
        return;
      }
      pending.erase(0, newline + 1);
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

struct Options {
  std::uint16_t port = 0;
  std::string token;
  bool once = false;
};

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  if (const char* token = std::getenv("TRELLUNE_MCP_TOKEN")) options.token = token;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--once") {
      options.once = true;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--port" && i + 1 < argc) {
      options.port = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--token" && i + 1 < argc) {
      options.token = argv[++i];
    } else {
      return std::nullopt;
    }
  }
  if (options.token.empty()) return std::nullopt;
  return options;
}

int run(int argc, char** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::fputs("usage: trellune-demo-app [--port N] [--token TEXT] [--once] [--verbose]  (token or TRELLUNE_MCP_TOKEN required)\n",
               stderr);
    return 2;
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int reuse = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options->port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0) {
    std::perror("trellune-demo-app: listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);

  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("trellune-demo-app: accept");
      return 1;
    }
    if (options->once) {
      serve(fd, options->token);
      return 0;
    }
    std::thread(serve, fd, options->token).detach();
  }
}

}  // namespace
}  // namespace trellune::demo

int main(int argc, char** argv) { return trellune::demo::run(argc, argv); }
