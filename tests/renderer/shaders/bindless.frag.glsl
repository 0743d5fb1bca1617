#version 450
// Reads texels of one slot of the bindless table exactly (no filtering).
#extension GL_EXT_nonuniform_qualifier : require
layout(set = 0, binding = 0) uniform sampler2D baseColorTex[];
layout(push_constant) uniform Push { uint slot; } pc;
layout(location = 0) out vec4 outColor;
void main() {
  ivec2 size = textureSize(baseColorTex[pc.slot], 0);
  ivec2 p = min(ivec2(gl_FragCoord.xy), size - 1);
  outColor = texelFetch(baseColorTex[pc.slot], p, 0);
}
