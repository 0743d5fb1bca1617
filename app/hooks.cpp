// What the character models add to the sandbox's blast. Each piece plugs in
// here when it exists; until then these do nothing.
#include "app/state.h"

void blastCharacters(State*, v3) {}
void spawnCharacter(State*) {}
