#version 450
// Signed-distance glyphs with a thin dark outline.
#extension GL_EXT_nonuniform_qualifier : require

layout(set = 0, binding = 0) uniform sampler2D baseColorTex[];

layout(push_constant) uniform Push {
  vec2 viewport;
  uint texIdx;
} pc;

layout(location = 0) in vec2 inUv;
layout(location = 1) in vec4 inColor;
layout(location = 0) out vec4 outColor;

void main() {
  float d = texture(baseColorTex[pc.texIdx], inUv).r;
  float alpha = smoothstep(0.4375, 0.5625, d);
  float outline = smoothstep(0.3375, 0.4625, d);
  vec3 color = mix(vec3(0.0), inColor.rgb, alpha);
  float a = max(outline, alpha * inColor.a);
  if (a < 0.01) discard;
  outColor = vec4(color, a);
}
