#version 450
// Shadow passes write depth only.

void main() {}
