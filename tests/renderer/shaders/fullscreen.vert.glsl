#version 450
// One triangle covering the whole target; uv spans [0, 1] over it.
layout(location = 0) out vec2 outUv;
void main() {
  vec2 p = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
  outUv = p;
  gl_Position = vec4(p * 2.0 - 1.0, 0.0, 1.0);
}
