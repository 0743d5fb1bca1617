#version 450
// Own set 0 of a registry slot: one image.
layout(set = 0, binding = 0) uniform sampler2D image;
layout(location = 0) in vec2 inUv;
layout(location = 0) out vec4 outColor;
void main() { outColor = texture(image, vec2(0.5)); }
