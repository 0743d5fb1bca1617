// Writes seeds for fuzz_dht into argv[1]: each KRPC query kind, an error, and
// replies (pong, nodes, values with a token, an acknowledgement) in the record
// form the target reads.
#include <cstdio>
#include <string>

namespace {

std::string bs(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

std::string record(unsigned char sel, unsigned char step, const std::string& msg) {
  std::string r;
  r += (char)sel;
  r += (char)step;
  r += (char)(msg.size() >> 8);
  r += (char)msg.size();
  return r + msg;
}

void write(const char* dir, const char* name, const std::string& data) {
  std::string path = std::string(dir) + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  const std::string id = bs(std::string(20, 'A'));
  const std::string hash = bs(std::string(1, 'B') + std::string(19, '\0'));
  auto query = [](const std::string& m, const std::string& a) {
    return "d1:ad" + a + "e1:q" + bs(m) + "1:t2:aa1:y1:qe";
  };
  write(argv[1], "ping", record(0, 1, query("ping", "2:id" + id)));
  write(argv[1], "find_node", record(1, 1, query("find_node", "2:id" + id + "6:target" + hash + "4:wantl2:n42:n6e")));
  std::string gp = record(8, 1, query("get_peers", "2:id" + id + "9:info_hash" + hash));
  write(argv[1], "get_peers", gp);
  write(argv[1], "announce", gp + record(8, 1, query("announce_peer", "2:id" + id + "12:implied_porti1e9:info_hash" + hash +
                                                          "4:porti7000e5:token8:01234567")));
  write(argv[1], "error", record(0, 0, "d1:eli201e5:Errore1:t2:aa1:y1:ee"));
  std::string nodes = std::string(20, 'C') + std::string("\x0a\x00\x00\x05\x1a\xe1", 6);
  write(argv[1], "reply_nodes", record(0x80, 1, "2:id" + id + "5:nodes" + bs(nodes) + "5:token4:abcd"));
  write(argv[1], "reply_values",
        record(0x80, 1, "2:id" + id + "5:token4:abcd6:valuesl6:" + std::string("\x0a\x00\x00\x07\x1b\x58", 6) + "ee"));
  write(argv[1], "reply_pong", record(0x80, 30, "2:id" + id));
  return 0;
}
