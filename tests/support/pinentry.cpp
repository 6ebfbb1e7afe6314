// A stand-in pinentry: the server side of pinentry's Assuan protocol, scripted by environment.
//
// TARN_TEST_PINENTRY_ANSWERS  one answer per GETPIN, separated by line feeds; the last repeats:
//                             "pin:TEXT" gives TEXT, "cancel", "fully-cancel", "error" (a
//                             non-cancel ERR), "garbage" (a reply that is no Assuan), "exit".
// TARN_TEST_PINENTRY_EXIT_AT  "greeting" or a command name: exit there without answering.
// TARN_TEST_PINENTRY_LOG      appends one netstring ("LEN:BYTES,") per command received: the
//                             command, a blank and its decoded argument.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void say(const std::string& line) {
  std::string out = line + "\n";
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::write(1, out.data() + done, out.size() - done);
    if (n <= 0) std::_Exit(1);
    done += static_cast<std::size_t>(n);
  }
}

void log(const std::string& record) {
  std::string path = variable("TARN_TEST_PINENTRY_LOG");
  if (path.empty()) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  std::string out = std::to_string(record.size()) + ":" + record + ",";
  if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) std::_Exit(3);
  ::close(fd);
}

bool readLine(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t n = ::read(0, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
}

bool decode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    std::string digits = text.substr(i + 1, 2);
    char* end = nullptr;
    long value = std::strtol(digits.c_str(), &end, 16);
    if (end != digits.c_str() + 2 || digits[0] == '-' || digits[0] == '+') return false;
    out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

// Like libassuan: '%', CR and LF escaped, the data cut into several short D lines.
void sendData(const std::string& pin) {
  std::string chunk;
  for (std::size_t i = 0; i < pin.size(); ++i) {
    char c = pin[i];
    if (c == '%' || c == '\r' || c == '\n') {
      static const char digits[] = "0123456789ABCDEF";
      chunk += '%';
      chunk += digits[static_cast<unsigned char>(c) >> 4];
      chunk += digits[c & 0xf];
    } else {
      chunk += c;
    }
    if ((i + 1) % 5 == 0 || i + 1 == pin.size()) {
      say("D " + chunk);
      chunk.clear();
    }
  }
}

std::vector<std::string> answers() {
  std::vector<std::string> list;
  std::string all = variable("TARN_TEST_PINENTRY_ANSWERS");
  if (all.empty()) all = "cancel";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = all.find('\n', start);
    list.push_back(all.substr(start, end - start));
    if (end == std::string::npos) return list;
    start = end + 1;
  }
}

void getPin(const std::string& answer) {
  if (answer.rfind("pin:", 0) == 0) {
    sendData(answer.substr(4));
    say("OK");
  } else if (answer == "cancel") {
    say("ERR 83886179 Operation cancelled <Pinentry>");
  } else if (answer == "fully-cancel") {
    say("ERR 83886278 Fully canceled <Pinentry>");
  } else if (answer == "garbage") {
    say("HELLO THERE");
  } else if (answer == "exit") {
    std::_Exit(0);
  } else {
    say("ERR 83886142 Timeout <Pinentry>");
  }
}

}  // namespace

int main() {
  const std::string exitAt = variable("TARN_TEST_PINENTRY_EXIT_AT");
  const std::vector<std::string> script = answers();
  std::size_t pins = 0;
  if (exitAt == "greeting") return 0;
  say("OK Pleased to meet you");
  std::string line, argument;
  while (readLine(line)) {
    if (line.size() > 1000) {
      log("TOOLONG ");
      say("ERR 536871187 Line too long <Assuan>");
      continue;
    }
    std::string name = line.substr(0, line.find(' '));
    std::string raw = name.size() < line.size() ? line.substr(name.size() + 1) : "";
    if (!decode(raw, argument)) {
      log("BADESCAPE " + raw);
      say("ERR 536871183 Invalid value <Assuan>");
      continue;
    }
    log(name + " " + argument);
    if (name == exitAt) return 0;
    if (name == "GETPIN") {
      getPin(script[pins < script.size() ? pins : script.size() - 1]);
      ++pins;
    } else if (name == "BYE") {
      say("OK closing connection");
      return 0;
    } else {
      say("OK");
    }
  }
  return 0;
}
