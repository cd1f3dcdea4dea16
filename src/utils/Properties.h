#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The settings of both programs and the owner of their settings file.
//
// Loading never fails: a missing file or key takes its default, a line that cannot be
// read loses only itself, and the file is rewritten when anything had to be made up or
// healed. What loading replaced is said in `notes`, and a file that lost lines is first kept
// beside itself under its name with ".bad" added. Saving replaces the file whole through a
// temporary file and a rename, so an interrupted save leaves the old file as it was.
class Properties {
 public:
  // Longest "key = value" line written; the INI reader reads lines of up to 199
  // characters whole and cuts longer ones.
  static constexpr size_t MAX_LINE_LENGTH = 199;

  std::string appname = "mirel";  // never stored in the file
  std::string serverUrl;
  int32_t serverUdpPort = 4183;
  std::string filename;
  std::string username;
  std::string userkey;
  std::string uuid;
  std::string computerName;
  std::string recvPath;
  int32_t tcpPort = 5551;
  bool isChanged = false;
  // One readable line for each value that loading replaced by its default and for lines it
  // could not read, for the programs to log as warnings once their log is up (this layer has
  // no log). Empty for a file the programs wrote themselves.
  std::vector<std::string> notes;

  Properties() = default;

  // Loads the file and saves it when something had to be created or healed. A failing
  // save here is not fatal: the object stays usable and the next explicit save() retries.
  // A port (udpPort, tcp) is a number from 1 to 65535; url and recvPath are not empty.
  explicit Properties(std::string filename);

  // Throw std::runtime_error, changing nothing, when the value cannot be stored (see save()).
  void setUsername(std::string name);
  void setUserkey(std::string key);

  // Writes the whole file when isChanged is set. Throws std::runtime_error, writing
  // nothing, when a value would not read back as it stands (a line break, a line over
  // MAX_LINE_LENGTH, surrounding blanks or an inline comment), and when the file cannot
  // be written; the old file then stays intact.
  void save();
};
