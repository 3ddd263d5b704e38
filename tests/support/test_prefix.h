#pragma once

// Names that no other test on the machine uses, and a private TAVRIN_PREFIX built on one: the
// prefix's queue directory under /dev/shm and its sockets under /tmp are this test's alone, and
// go with it.

#include <string>

// `<stem>_<pid>_<8 random letters or digits>`: unique on the machine, and never the start of
// another such name followed by "_".
std::string unique_name(const std::string &stem);

// A TAVRIN_PREFIX of its own for one test, set in this process's environment (where children
// inherit it) for the life of the object. Its queue directory /dev/shm/<name> is made at once.
// Removed at the end, also when the test failed: that directory with everything in it, and what
// programs of the prefix leave in /tmp (the log endpoint "logmessage<name>", vision setup sockets
// "<name>_visionipc_<server>"). The variable is put back as it was.
//
// A death test of the "threadsafe" style runs the test again in a new process, fixture and all,
// and that process ends without running destructors. There the object takes over the prefix of
// the test that started it (its TAVRIN_PREFIX is inherited) and leaves it to that test to remove,
// instead of making one that nobody would remove.
class TestPrefix {
 public:
  explicit TestPrefix(const std::string &stem = "test");
  ~TestPrefix();
  TestPrefix(const TestPrefix &) = delete;
  TestPrefix &operator=(const TestPrefix &) = delete;

  const std::string &name() const { return name_; }
  // The queue directory, and the file of one queue in it.
  std::string dir() const { return "/dev/shm/" + name_; }
  std::string path(const std::string &queue) const { return dir() + "/" + queue; }

 private:
  std::string name_;
  bool owned_ = true;
  bool had_previous_ = false;
  std::string previous_;
};

// Removes what programs of prefix `name` leave in /tmp: "logmessage<name>" and "<name>_*".
void remove_prefix_sockets(const std::string &name);
