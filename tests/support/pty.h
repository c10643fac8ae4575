// A bare pseudo-terminal: its slave opens as a serial port, and the test
// plays the far end on the master (POSIX only; not in Windows builds).
#pragma once

#include <string>

namespace tarvex::test {

class TPty {
 public:
  // Whether the test also holds the slave open. A held slave keeps the
  // master from seeing a hang-up between the opens of the port under test.
  enum TSlave { SlaveFree, SlaveHeld };

  explicit TPty(TSlave slave = SlaveFree);
  ~TPty();
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  // False when the system gave no pseudo-terminal; Path() is empty then.
  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  int Master() const { return master_; }
  int Slave() const { return slave_; }

  // Writes the bytes on the master, as the far end sends them; false
  // unless all were written.
  bool Send(const std::string& bytes) const;
  // Closes the master (the far end goes away, as when an adapter is pulled
  // out: the device node goes with it) or the held slave.
  void CloseMaster();
  void CloseSlave();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace tarvex::test
