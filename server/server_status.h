#pragma once
// A small result type for the web service: ok, or an HTTP status with a message that tells the
// caller what was wrong. Cheap to copy; no state.

#include <string>
#include <utility>

struct ServerStatus {
  int http = 200;  // 200 = ok; otherwise the status a request handler answers with
  std::string message;

  static ServerStatus Ok() { return {}; }
  static ServerStatus BadRequest(std::string m) { return {400, std::move(m)}; }
  static ServerStatus NotFound(std::string m) { return {404, std::move(m)}; }
  static ServerStatus Internal(std::string m) { return {500, std::move(m)}; }
  bool ok() const { return http == 200; }
};
