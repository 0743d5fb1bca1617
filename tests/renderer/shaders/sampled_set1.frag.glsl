#version 450
// An image in set 1, the first set after the slot's own.
layout(set = 1, binding = 0) uniform sampler2D image;
layout(location = 0) out vec4 outColor;
void main() { outColor = texture(image, vec2(0.5)); }
