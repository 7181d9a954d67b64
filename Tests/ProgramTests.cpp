// The helper as the journaling application meets it: a child process on real pipes.
#include <gtest/gtest.h>

#include "HelperProtocol.h"
#include "Process.h"

namespace vorel::testing {
namespace {

const std::string helper = VOREL_HELPER;
const std::string scripted = VOREL_SCRIPTED_HELPER;
const std::string belowFloor = "VOREL_TEST_OS_VERSION=15.6.1";

std::string frame(const std::string& payload) {
  return encodeFrame(payload);
}

std::string failed(const std::string& reason) {
  return R"({"kind":"failed","reason":")" + reason + "\"}";
}

struct Case {
  const char* name;
  const std::string* program;
  std::vector<std::string> environment;
  std::string input;
  std::vector<std::string> lines;
  int status;
};

void expectRun(const Case& c) {
  SCOPED_TRACE(c.name);
  ProcessOptions options;
  options.environment = c.environment;
  auto result = runProcess(*c.program, c.input, options);
  EXPECT_EQ(linesOf(result.out), c.lines);
  EXPECT_TRUE(result.out.empty() || result.out.back() == '\n');
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, "") << "the helper must never write to standard error";
}

TEST(Program, ReportsThePlatform) {
  for (const auto& c : std::vector<Case>{
           {"real platform",
            &helper,
            {},
            "{\"op\":\"platform\"}\n",
            {R"({"floorMet":true,"osVersion":"macOS 26.0.0"})"},
            0},
           {"below the floor",
            &scripted,
            {belowFloor},
            "{\"op\":\"platform\"}\n",
            {R"({"floorMet":false,"osVersion":"macOS 15.6.1"})"},
            0},
           {"a later version",
            &scripted,
            {"VOREL_TEST_OS_VERSION=26.1.0"},
            "{\"op\":\"platform\"}",
            {R"({"floorMet":true,"osVersion":"macOS 26.1.0"})"},
            0},
       }) {
    expectRun(c);
  }
}

TEST(Program, AnswersBadRequestsWithTheirLineAndStatus) {
  const std::string notUnderstood = failed("the speech helper did not understand the request");
  auto missing = [](const std::string& op) {
    return failed("the speech helper's " + op + " request is missing a field");
  };
  std::vector<Case> cases = {
      {"empty input", &helper, {}, "", {notUnderstood}, 2},
      {"empty line", &helper, {}, "\n", {notUnderstood}, 2},
      {"not JSON", &helper, {}, "hello\n", {notUnderstood}, 2},
      {"not an object", &helper, {}, "[\"platform\"]\n", {notUnderstood}, 2},
      {"no op", &helper, {}, "{\"locale\":\"en-US\"}\n", {notUnderstood}, 2},
      {"op not a string", &helper, {}, "{\"op\":1}\n", {notUnderstood}, 2},
      {"locale a number",
       &helper,
       {},
       "{\"op\":\"asset-state\",\"locale\":5}\n",
       {notUnderstood},
       2},
      {"path an object",
       &helper,
       {},
       "{\"op\":\"transcribe\",\"locale\":\"en-US\",\"path\":{}}\n",
       {notUnderstood},
       2},
      {"comment", &helper, {}, "{\"op\":\"platform\"} // hi\n", {notUnderstood}, 2},
      {"a NUL byte after the request",
       &helper,
       {},
       std::string("{\"op\":\"platform\"}") + '\0' + "{\"op\":\"dance\"}\n",
       {notUnderstood},
       2},
      {"a path holding a NUL names no file",
       &helper,
       {},
       "{\"op\":\"transcribe\",\"locale\":\"en-US\",\"path\":\"/etc/passwd\\u0000.wav\"}\n",
       {R"({"kind":"failed","reason":"there is no audio file at /etc/passwd\u0000.wav"})"},
       0},
      {"unknown op",
       &helper,
       {},
       "{\"op\":\"dance\"}\n",
       {failed("the speech helper has no operation dance")},
       0},
      {"other letter case",
       &helper,
       {},
       "{\"op\":\"Platform\"}\n",
       {failed("the speech helper has no operation Platform")},
       0},
      {"empty op",
       &helper,
       {},
       "{\"op\":\"\"}\n",
       {failed("the speech helper has no operation ")},
       0},
      {"extra keys, CRLF, bytes after the line",
       &helper,
       {},
       "{\"op\":\"platform\",\"extra\":[1,2],\"locale\":null}\r\nrest of input",
       {R"({"floorMet":true,"osVersion":"macOS 26.0.0"})"},
       0},
  };
  for (const auto* program : {&helper, &scripted}) {
    auto env =
        program == &scripted ? std::vector<std::string>{belowFloor} : std::vector<std::string>{};
    for (const auto& [line, op] : std::vector<std::pair<std::string, std::string>>{
             {R"({"op":"asset-state"})", "asset-state"},
             {R"({"op":"asset-state","locale":null})", "asset-state"},
             {R"({"op":"install-assets"})", "install-assets"},
             {R"({"op":"transcribe","locale":"en-US"})", "transcribe"},
             {R"({"op":"transcribe","path":"/tmp/a.wav"})", "transcribe"},
             {R"({"op":"listen"})", "listen"},
             {R"({"op":"listen","locale":null,"path":"x"})", "listen"},
         }) {
      cases.push_back({"missing field", program, env, line + "\n" + frame("ab"), {missing(op)}, 2});
    }
  }
  for (const auto& c : cases) expectRun(c);
}

TEST(Program, GivesTheFixedAnswersBelowTheFloor) {
  const std::string voice = failed("Voice needs iOS 26");
  const std::string speech(9600, '\x40');
  for (const auto& c : std::vector<Case>{
           {"locales", &scripted, {belowFloor}, "{\"op\":\"locales\"}\n", {R"({"locales":[]})"}, 0},
           {"asset-state",
            &scripted,
            {belowFloor},
            "{\"op\":\"asset-state\",\"locale\":\"\"}\n",
            {R"({"kind":"unsupported"})"},
            0},
           {"install-assets",
            &scripted,
            {belowFloor},
            "{\"op\":\"install-assets\",\"locale\":\"en-US\"}\n",
            {R"({"kind":"unsupported"})"},
            0},
           {"transcribe",
            &scripted,
            {belowFloor},
            "{\"op\":\"transcribe\",\"locale\":\"en-US\",\"path\":\"/no/such.wav\"}\n",
            {voice},
            0},
           {"listen, frames read and dropped",
            &scripted,
            {belowFloor},
            "{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + frame(speech) + frame("") +
                frame(speech),
            {voice},
            0},
           {"listen, broken frame stream",
            &scripted,
            {belowFloor},
            "{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + frame(speech) + "\x10\x00",
            {voice, failed("the speech helper could not read the audio: truncated")},
            2},
           {"listen, odd frame length",
            &scripted,
            {belowFloor},
            "{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + std::string("\x03\x00\x00\x00", 4) +
                "abc",
            {voice, failed("the speech helper could not read the audio: malformedLength(3)")},
            2},
       }) {
    expectRun(c);
  }
}

}  // namespace
}  // namespace vorel::testing
