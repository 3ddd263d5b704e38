// The topic tool: lists the topics, prints a topic's messages as text, measures its rate,
// publishes a message given as text. Works on the backend the environment selects.

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "strand/services/services.h"
#include "tools/topic/topic_tool.h"

ExitHandler do_exit;

namespace {

const char USAGE[] =
    "usage: topic list [--duration S]\n"
    "       topic echo TOPIC [-n N] [--pretty]\n"
    "       topic hz TOPIC [-n N]\n"
    "       topic pub TOPIC TEXT [--rate HZ] [-n N] [--invalid]\n"
    "       (list, echo and hz take --host HOST with ZMQ=1)\n";

const char HELP[] =
    "\n"
    "Shows and publishes the messages on the system's topics.\n"
    "\n"
    "  list            the topics heard within --duration seconds (default 2): message\n"
    "                  count, rate, time of the last message\n"
    "  echo TOPIC      every message of TOPIC as Cap'n Proto text, one per line\n"
    "  hz TOPIC        TOPIC's rate, printed every second\n"
    "                  (rates are taken on the publisher's clock, the Events' logMonoTime,\n"
    "                  while every message has a later one; otherwise on arrival here)\n"
    "  pub TOPIC TEXT  publishes TEXT, the text form of TOPIC's member of Event (for\n"
    "                  deviceState: '(started = true)'), until stopped\n"
    "\n"
    "  -n N            echo, hz, pub: stop after N messages\n"
    "  --duration S    list: listen S seconds\n"
    "  --pretty        echo: indented text over several lines\n"
    "  --rate HZ       pub: messages per second (default: the topic's nominal rate, else 1)\n"
    "  --invalid       pub: mark the messages invalid (Event valid = false)\n"
    "  --host HOST     the publishers' machine, with ZMQ=1 (default 127.0.0.1)\n"
    "  -h, --help      this text\n"
    "\n"
    "Environment: ZMQ=1 selects ZeroMQ over TCP (each topic on its port of the service\n"
    "table; TAVRIN_PREFIX must then be unset); otherwise shared memory on this machine, in\n"
    "the namespace TAVRIN_PREFIX names, as the publishers have it.\n"
    "On shared memory, pub takes the topic over: the topic's other publisher can no longer send.\n"
    "\n"
    "Examples:\n"
    "  topic list\n"
    "  topic echo deviceState -n 1\n"
    "  topic hz carState\n"
    "  topic pub deviceState '(started = true)' --rate 2\n"
    "  ZMQ=1 topic echo carState --host 192.168.1.20\n"
    "\n"
    "Exit status: 0 done or stopped by Ctrl-C, 1 the command failed, 2 a mistake in the command.\n";

[[noreturn]] void usage_error(const std::string &why) {
  fprintf(stderr, "topic: %s (topic --help tells more)\n", why.c_str());
  exit(EXIT_USAGE);
}

// A number above 0 (a whole one with `whole`), or a usage error naming the option.
double parse_positive(const std::string &option, const char *text, bool whole = false) {
  char *end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || (whole && value != (long long)value)) {
    usage_error(option + " takes a " + (whole ? "whole " : "") + "number above 0, not " + text);
  }
  return value;
}

void check_topic(const std::string &topic) {
  if (services.count(topic)) return;
  for (const auto &[name, row] : services) {
    if (strcasecmp(name.c_str(), topic.c_str()) == 0) usage_error("unknown topic " + topic + " (did you mean " + name + "?)");
  }
  usage_error("unknown topic " + topic + " (the topics are the names in strand/services/services.cc)");
}

ToolOptions parse_options(int argc, char *argv[]) {
  ToolOptions opt;
  std::vector<std::string> positional;
  bool host_given = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) usage_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      printf("%s%s", USAGE, HELP);
      exit(0);
    } else if (a == "-n") {
      opt.count = (long long)parse_positive(a, value(), true);
    } else if (a == "--duration") {
      opt.duration = parse_positive(a, value());
    } else if (a == "--rate") {
      opt.rate = parse_positive(a, value());
    } else if (a == "--host") {
      opt.host = value();
      host_given = true;
    } else if (a == "--pretty") {
      opt.pretty = true;
    } else if (a == "--invalid") {
      opt.invalid = true;
    } else if (a.size() > 1 && a[0] == '-') {
      usage_error("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.empty()) {
    fprintf(stderr, "%s", USAGE);
    exit(EXIT_USAGE);
  }
  opt.command = positional[0];
  const size_t wanted = opt.command == "list" ? 1 : opt.command == "pub" ? 3 : 2;
  if (opt.command != "list" && opt.command != "echo" && opt.command != "hz" && opt.command != "pub") {
    usage_error("unknown command " + opt.command);
  }
  if (positional.size() < wanted) usage_error(opt.command + (wanted == 3 ? " needs a topic and a text" : " needs a topic"));
  if (positional.size() > wanted) usage_error("too many arguments, from " + positional[wanted]);
  if (wanted >= 2) {
    opt.topic = positional[1];
    check_topic(opt.topic);
  }
  if (wanted == 3) opt.text = positional[2];
  if (host_given && opt.command == "pub") usage_error("pub publishes on this machine; --host is for list, echo and hz");
  if (host_given && !messaging_use_zmq()) {
    usage_error("--host needs ZMQ=1: shared memory reaches only this machine");
  }
  return opt;
}

}  // namespace

int main(int argc, char *argv[]) {
  const ToolOptions opt = parse_options(argc, argv);
  if (opt.command == "list") return run_list(opt);
  if (opt.command == "echo") return run_echo(opt);
  if (opt.command == "hz") return run_hz(opt);
  return run_pub(opt);
}
