// Collision-shape fixtures for the physics tests.
#pragma once

#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "physics/shapes.h"
#include "platform/memory.h"

// A prism whose top and bottom are regular n-gons of the given radius at y = +-halfHeight,
// with a complete half-edge structure (twins at 2k, 2k + 1). The shape owns it.
inline bool makePrism(ConvexPolyhedronShape* out, u32 n, f64 halfHeight, f64 radius = 1.0) {
  std::vector<v3> verts;
  for (u32 i = 0; i < n; ++i) {
    f64 a = 2.0 * kPi * i / n;
    verts.push_back(V3(radius * std::cos(a), -halfHeight, radius * std::sin(a)));
  }
  for (u32 i = 0; i < n; ++i) {
    f64 a = 2.0 * kPi * i / n;
    verts.push_back(V3(radius * std::cos(a), halfHeight, radius * std::sin(a)));
  }
  std::vector<std::vector<u32>> faces;
  std::vector<u32> bottom, top;
  for (u32 i = 0; i < n; ++i) bottom.push_back(i);
  for (u32 i = 0; i < n; ++i) top.push_back(n + (n - 1 - i));
  faces.push_back(top);
  faces.push_back(bottom);
  for (u32 i = 0; i < n; ++i) faces.push_back({i, n + i, n + (i + 1) % n, (i + 1) % n});

  std::map<std::pair<u32, u32>, u32> index;
  u32 numEdges = 0;
  for (auto& f : faces)
    for (size_t j = 0; j < f.size(); ++j) {
      u32 a = f[j], b = f[(j + 1) % f.size()];
      if (!index.count({a, b})) {
        index[{a, b}] = numEdges;
        index[{b, a}] = numEdges + 1;
        numEdges += 2;
      }
    }
  HalfEdgeStructure he{};
  he.numVertices = 2 * n;
  he.numEdges = numEdges;
  he.numFaces = (u32)faces.size();
  he.vertices = (Vertex*)memAlloc(sizeof(Vertex) * he.numVertices);
  he.edges = (HalfEdge*)memAlloc(sizeof(HalfEdge) * numEdges);
  he.faces = (Face*)memAlloc(sizeof(Face) * he.numFaces);
  for (u32 fi = 0; fi < faces.size(); ++fi) {
    auto& f = faces[fi];
    Face& face = he.faces[fi];
    face.numVertices = (u32)f.size();
    face.faceVertices = (u32*)memAlloc(sizeof(u32) * f.size());
    face.edgeIndex = index[{f[0], f[1]}];
    for (size_t j = 0; j < f.size(); ++j) {
      u32 a = f[j], b = f[(j + 1) % f.size()], c = f[(j + 2) % f.size()];
      face.faceVertices[j] = a;
      u32 e = index[{a, b}];
      he.edges[e] = HalfEdge{a, index[{b, a}], fi, index[{b, c}]};
      he.vertices[a].edgeIndex = e;
    }
  }
  return convexPolyInitWithHalfEdge(out, verts.data(), (u32)verts.size(), &he);
}
