// What the interface and the character models add to the
// sandbox's input and blast. Each piece plugs in here when it exists; until
// then these do nothing.
#include "app/state.h"

b8 appPointerOverUi(State*) { return false; }
b8 appTextInputActive(State*) { return false; }
void appUiInput(State*, const InputEvent*) {}
void appUiPasteText(State*, const char*) {}
void appUiResize(State*) {}
void blastCharacters(State*, v3) {}
