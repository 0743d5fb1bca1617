// Small hand-made glTF files for tests: one binary buffer as a data URI,
// accessors appended to it, the rest of the JSON written by the test.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/types.h"

struct GltfBuilder {
  std::vector<u8> bin;
  std::vector<std::string> views;
  std::vector<std::string> accessors;

  // Appends bytes in their own view (4-byte aligned); returns the view index.
  int view(const void* data, size_t size) {
    while (bin.size() % 4) bin.push_back(0);
    size_t off = bin.size();
    bin.insert(bin.end(), static_cast<const u8*>(data), static_cast<const u8*>(data) + size);
    views.push_back("{\"buffer\":0,\"byteOffset\":" + std::to_string(off) + ",\"byteLength\":" + std::to_string(size) +
                    "}");
    return (int)views.size() - 1;
  }
  // An accessor over a new view; extra is appended inside the object (",\"min\":...").
  int accessor(const void* data, size_t size, int componentType, const char* type, size_t count,
               const std::string& extra = "") {
    int v = view(data, size);
    accessors.push_back("{\"bufferView\":" + std::to_string(v) + ",\"componentType\":" +
                        std::to_string(componentType) + ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type +
                        "\"" + extra + "}");
    return (int)accessors.size() - 1;
  }
  int floats(const std::vector<f32>& v, const char* type, size_t comps, const std::string& extra = "") {
    return accessor(v.data(), v.size() * 4, 5126, type, v.size() / comps, extra);
  }
  int u16s(const std::vector<u16>& v, const char* type, size_t comps) {
    return accessor(v.data(), v.size() * 2, 5123, type, v.size() / comps);
  }
  int u32s(const std::vector<u32>& v) { return accessor(v.data(), v.size() * 4, 5125, "SCALAR", v.size()); }

  static std::string base64(const std::vector<u8>& d) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < d.size(); i += 3) {
      u32 v = (u32)d[i] << 16 | (u32)d[i + 1] << 8 | d[i + 2];
      out += t[v >> 18], out += t[(v >> 12) & 63], out += t[(v >> 6) & 63], out += t[v & 63];
    }
    if (i + 1 == d.size()) {
      u32 v = (u32)d[i] << 16;
      out += t[v >> 18], out += t[(v >> 12) & 63], out += "==";
    } else if (i + 2 == d.size()) {
      u32 v = (u32)d[i] << 16 | (u32)d[i + 1] << 8;
      out += t[v >> 18], out += t[(v >> 12) & 63], out += t[(v >> 6) & 63], out += "=";
    }
    return out;
  }
  static std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); i++) {
      if (i) s += ",";
      s += v[i];
    }
    return s;
  }
  // The whole file; `rest` holds the other top-level members, each followed by a comma.
  std::string json(const std::string& rest) const {
    std::string buffers = "[{\"byteLength\":" + std::to_string(bin.size()) +
                          ",\"uri\":\"data:application/octet-stream;base64," + base64(bin) + "\"}]";
    return "{\"asset\":{\"version\":\"2.0\"}," + rest + "\"buffers\":" + buffers + ",\"bufferViews\":[" + join(views) +
           "],\"accessors\":[" + join(accessors) + "]}";
  }
};
