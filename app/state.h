// The application's one State record: owns every subsystem for the life of the
// process. Subsystems are added here in the order of creation as they arrive.
#pragma once

#include "app/scene_build.h"
#include "components/audio.h"
#include "components/camera.h"
#include "components/model.h"
#include "components/player.h"
#include "components/discovery.h"
#include "components/voip.h"
#include "ecs/ecs.h"
#include "ecs/gizmo.h"
#include "font/font.h"
#include "platform/input.h"
#include "platform/types.h"
#include "platform/window.h"
#include "physics/world.h"
#include "renderer/lighting.h"
#include "renderer/lines.h"
#include "renderer/decal.h"
#include "renderer/meshpool.h"
#include "renderer/particles.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/tris.h"
#include "ui/file_dialog.h"
#include "ui/flamegraph.h"
#include "terrain/terrain_mesh.h"
#include "terrain/world_editor.h"
#include "terrain/world_map.h"
#include "ui/ui.h"
#include "ui/voip_panel.h"

inline constexpr u32 kMaxLocalPlayers = 4;
inline constexpr u32 kAppMaxEntities = 4096;
inline constexpr u32 kSceneShapes = 256;  // per shape kind
inline constexpr f64 kPhysicsStep = 1.0 / 120.0;
inline constexpr u32 kFileDialogDecalPipeline = 13;
// Models loaded for world catalogs, remembered by path across world switches.
inline constexpr u32 kWorldModelSlots = 64;

struct WorldModelSlot {
  char path[128];
  u32 modelIndex;
};

// The physics-body component: which body an entity is, and its colour.
struct PhysicsBodyComp {
  i32 bodyId;
  u32 color;  // packed as trisColorRGBA
};
static_assert(sizeof(PhysicsBodyComp) == 8);

struct State {
  Renderer renderer;
  Pipelines pipelines;
  MeshPool vertexPool;
  MeshPool indexPool;
  World world;
  Tris tris;
  Lines lines;
  Ui ui;  // debug windows
  Font font;  // interface font
  ParticleSystem particles;
  // The file dialog's image previews: unlit, no depth or stencil test, drawn
  // over the interface in pixels.
  DecalSystem fileDialogDecals;
  // Local player 0; `camera` is the first member of LocalPlayer.
  union {
    Camera camera;
    LocalPlayer player;
  };
  LocalPlayer localPlayers[kMaxLocalPlayers - 1];  // players 1 to 3
  u32 localPlayerCount;  // 1 to 4
  u32 keyboardPlayer;  // receives keyboard and mouse events
  Platform* plat;
  AudioEngine* audio;  // null when no device could be opened
  AudioSound* explosionSound;  // null without audio or without the asset
  // The voice session, null when none. Set and cleared on the main thread only
  // while the engine's callbacks are not installed (app/voip.cpp).
  Voip* voip;
  char voipStatus[64];  // what the voice panel shows: "Hosting on 40000", "Stopped", ...
  // Peer discovery, null when it could not start. Sends nothing until the user
  // hosts or joins.
  Discovery* discovery;
  Ecs ecs;
  u32 explosionParticleEmitterId;  // all ones without one
  Lighting lighting;
  b8 mouseBlastMode;
  b8 blastMarkerValid;
  v3f blastMarkerPos;
  f32 blastMarkerRadius;
  BoxShape boxShapes[kSceneShapes];
  SphereShape sphereShapes[kSceneShapes];
  CapsuleShape capsuleShapes[kSceneShapes];
  u32 numBoxShapes, numSphereShapes, numCapsuleShapes;
  i32 windowW, windowH;
  f64 fps;  // target refresh rate handed to the renderer
  f64 curfps;  // measured
  b8 physicsRunning;  // the physics thread is meant to run
  b8 windowVisible;
  b8 keys[InputKeyCount];
  b8 mouse[4];
  b8 showAabb, showVelocity;
  u64 lastSnapSequence;  // snapshot publication the body geometry was built from
  u32 lastBodyCount;  // physics-body components then
  b8 editMode;
  Entity selectedEntity;
  i32 mouseX, mouseY;
  Gizmo gizmo;
  u32 gizmoPlayer;  // the cell a gizmo drag started in
  f64 lastScaleRatio;  // scale of the drag so far over its start
  b8 showHeightfield, showVectorFields;
  b8 screenshotRequested;  // F12: save the next presented image
  u32 pendingActions;  // kAction* bits queued by buttons for the next frame
  i32 heightfieldBodyId;  // -1 without a terrain body
  i32 tornadoFieldIdx;  // negative without a tornado
  TornadoData tornadoData;
  f64 tornadoPhase;
  ModelSystem* modelSys;  // null when it could not be created
  u32 cesiumManModelIndex;  // the default character; all ones when it failed to load
  // The snapshot pinned for this frame: every pose read of the frame uses it.
  const Snapshot* frameSnap;
  FileDialog fileDialog;  // "Open File..."
  i32 fileDialogResult;  // the dialog's last result (1 a path, -1 cancelled), taken next frame
  // The open terrain world (app/world.cpp): the map, its editor and its chunks.
  WorldMap* worldMap;  // null when none is open
  WorldEditor worldEditor;
  TerrainMesh terrainMesh;
  b8 worldLoaded;
  b8 terrainMeshUp;  // the world has terrain and its mesh was made
  i32 terrainTool;  // 0 none, 1 surface (splat), 2 height
  i32 heightBrush;  // WorldEditorHeightBrush
  u32 splatChannel;
  f32 terrainBrushRadius, terrainBrushStrength, terrainSplatStrength, flattenTarget;
  b8 terrainStrokeActive, terrainHoverValid;
  v3f terrainHoverPos;
  u32 terrainHoverTileX, terrainHoverTileY, terrainHoverSampleX, terrainHoverSampleY;
  char newWorldName[256];  // the "New World" file-name box
  WorldModelSlot worldModels[kWorldModelSlots];
  u32 worldModelCount;
  // The "VoIP" window; null when it could not be made. Its meters are fed from
  // the audio thread, so it lives from before the audio engine to after it.
  VoipPanel* voipPanel;
  FlameGraph flameGraph;  // the "Trace" window's trees ("Show trace")
  // What the voice actions started on discovery, undone by voipSessionClose.
  u8 voipServiceId[20];  // hosted id (advertised while voipAdvertising)
  b8 voipAdvertising;
  u16 voipMappedPort;  // private port mapped by NAT-PMP, 0 when none
  u8 voipJoinId[20];  // the current join's id (resolved while voipResolving)
  b8 voipResolving;
  b8 voipAwaitingHost;  // a host was found: "Connected" once it is heard
  b8 voipBootstrapped;  // the DHT's bootstrap nodes were handed over
  void* voipBootstrapLookup;  // their name look-ups while in flight
};

// Slot 0 is `player`, slot i (1 to 3) is localPlayers[i - 1].
LocalPlayer* statePlayer(State* state, u32 slot);

// The rectangle of player `index` among `count` split-screen cells.
struct SplitViewport {
  i32 x, y, width, height;
};
// One column below two players, two above; one row up to two players, two above.
// The last column and row take the remainder, so the cells cover the window.
SplitViewport splitViewport(i32 windowW, i32 windowH, u32 count, u32 index);

// Dispatches one input event (null: the per-frame player update) to the
// application; sets *quit on Esc.
void handleInputEvent(State* state, Platform* plat, const InputEvent* event, b8* quit, f64 dt);

// Interactions (app/interact.cpp). Picking, the blast and the gizmo use the
// split-screen cell under the pointer and that player's camera.
struct PointerView {
  u32 player;
  Camera* camera;  // its aspect set to the cell's
  i32 x, y;  // pointer within the cell
  i32 width, height;  // the cell
};
// False when the pointer is in no cell.
b8 pointerView(State* state, i32 x, i32 y, PointerView* out);
b8 pointerRay(State* state, i32 x, i32 y, v3* origin, v3* dir);
// The body of the selected entity, or null.
Body* editorGetBody(State* state);
// The nearest tracked body under the pointer becomes the selection (or none).
void editorSelect(State* state, i32 x, i32 y);
// Edit-mode left press: a drag on a hovered handle of the selection, else a new
// selection. Motion: the drag moves, turns or scales the selected body.
void gizmoPress(State* state, i32 x, i32 y);
void gizmoMotion(State* state, i32 x, i32 y);
// Sound, particles and marker at the hit under the pointer; impulses for the
// dynamic bodies within 8 units, which are woken.
void applyMouseBlast(State* state, i32 x, i32 y);
// "Add Player" / "Remove Player": the new count. Removing the keyboard player's
// slot hands the keyboard to player 0.
u32 addLocalPlayer(State* state);
u32 removeLocalPlayer(State* state);
// Players whose controller is gone lose it.
void dropDisconnectedControllers(State* state);

// F12: asks the renderer for this frame's picture, saved as a PNG (app/screenshot.cpp).
void requestScreenshot(State* state);

// Pieces other parts of the program plug in (app/hooks.cpp).
b8 appPointerOverUi(State* state);
b8 appTextInputActive(State* state);
void appUiInput(State* state, const InputEvent* event);
void appUiPasteText(State* state, const char* text);
void appUiResize(State* state);
// Skinned characters within reach of a blast become ragdolls; the caller holds
// the world lock. Returns how many.
u32 blastCharacters(State* state, v3 centre);

// Scene and physics control (app/scene.cpp).
// The component systems of the program's entity registry.
void appRegisterComponents(Ecs* ecs);
// Stops the physics thread if it runs, publishes a snapshot matching the bodies.
void physicsStop(State* state);
// Starts the thread (1/120 s steps) unless one runs.
void physicsStart(State* state);
i32 createBody(State* state, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass, f64 friction,
               f64 restitution, BodyType type);
// A new entity with a physics-body component; 0 when that fails.
Entity trackBody(State* state, i32 bodyId, u32 color);
// Clears everything and builds the demo scene without starting the thread.
b8 sceneBuildDemo(State* state);
// The body's broadphase box from its current pose (an edit between steps).
void refreshBodyBox(State* state, i32 bodyId);
// The demo scene from scratch, then the physics thread.
void sceneSetup(State* state);
// Toggles shadow maps / ray query and rebuilds what depends on the mode.
void rebuildLightingMode(State* state);

// Models (app/models.cpp).
// Loads a model, flushes its vertices and indices, sizes the bone pool. The model
// index, or all ones on failure.
u32 loadModelAsset(State* state, const char* path);
// The "Spawn CesiumMan" action: the default character 20 m in front of the
// keyboard player's camera. 0 when there is no default character.
Entity spawnCesiumMan(State* state);

// Frame pieces (app/frame.cpp).
// Step 7: the tornado wanders.
void updateTornado(State* state, f64 dt);
// Step 10: the particles' frame block from player 0's camera (spawn counts).
void setParticleFrame(State* state, f64 dt);
// Step 9: the light, its shadow focused on player 0's view.
void fillLighting(State* state);
// Step 12: body instances from the pinned snapshot when it or the body count
// changed; otherwise last frame's are carried over. True when rebuilt.
b8 buildBodyGeometry(State* state);
// Step 16: the bodies and debug lines in every player's split-screen cell, each
// cell with its own player's camera (inside the main render pass).
void drawPlayers(State* state, VkCommandBuffer cmd);
// Everything from pinning the snapshot to presenting; false when the frame was
// skipped (the snapshot is released either way).
b8 renderFrame(State* state, f64 dt);

// Sound (app/sound.cpp).
// Creates and starts the engine on the given devices (null: defaults) and loads
// the blast sound; false (audio and explosionSound null) when no engine.
b8 appAudioStart(State* state, const char* sinkDevice, const char* sourceDevice);
// Releases the blast sound, then the engine; both null afterwards.
void appAudioShutdown(State* state);
// The blast: the explosion sound from its start (nothing without audio).
void appPlayExplosion(State* state);

// Voice chat (app/voip.cpp). Host and join close any previous session, create
// one with the program's configuration (2 channels, 48000 bit/s, 64 echo
// taps), start it and install the audio callbacks; false with voipStatus set
// ("No audio engine", "Create failed", "Start failed") on failure.
void appVoipConfig(VoipConfig* cfg);
b8 appVoipHost(State* state, u16 port);
// With a host address the join is sent at once, otherwise the session waits
// for appVoipFound (discovery's answer).
b8 appVoipJoin(State* state, u16 port, const NetAddr* hostOrNull);
void appVoipFound(State* state, const NetAddr* host);
// Removes the callbacks, then destroys the session; status "Stopped".
void voipSessionClose(State* state);
// Per frame: "Connected" once a found host has answered.
void appVoipUpdate(State* state);
// The panel's actions (app/voip_actions.cpp): kVoipPanel* bits with the exact
// status texts; newSink/newSource (either may be null) restart the audio
// engine on those devices.
void appVoipPanelActions(State* state, u32 actions, const char* newSink, const char* newSource);
// The "VoIP" window, its actions carried out.
void drawVoipPanel(State* state, mu_Context* ctx);
// Hands the DHT the bootstrap addresses whose look-ups finished (per frame);
// release calls off what is still in flight (shutdown, before discovery goes).
void appVoipBootstrapPoll(State* state);
void appVoipBootstrapRelease(State* state);
// Undoes what hosting and joining started on discovery: advertisement, port
// mapping, the join's search (voipSessionClose calls it).
void appVoipDiscoveryStop(State* state);
// Discovery's answer for a join: only the current join's id on a live client
// session counts; the first result sets the host and ends the search.
void discoCallback(void* closure, const u8* id, NetAddr addr);
// "40000" style text: the port when the whole text is a number in 1..65535.
b8 appParsePort(const char* text, u16* out);
// 40 hexadecimal digits (surrounding white space ignored) into 20 bytes.
b8 appParseServiceId(const char* text, u8 out[20]);
// The engine's callbacks while a session exists (user data: the State).
i32 voipAudioSinkCb(f32* samples, size_t frames, i32 channels, void* user);
i32 voipAudioSourceCb(f32* samples, size_t frames, i32 channels, void* user);

// Actions the debug windows queue for the start of the next frame.
inline constexpr u32 kActionPlayPause = 1, kActionStep = 2, kActionReset = 4, kActionSpawnCharacter = 8,
                     kActionLighting = 16;

// The sandbox's windows and headers (app/sandbox_ui.cpp).
void drawPhysicsHeader(State* state, mu_Context* ctx);
void drawDebugHeader(State* state, mu_Context* ctx);
void drawKeysHeader(State* state, mu_Context* ctx);
// "Bodies" and "Contacts" lines of the Stats header.
void drawBodyStats(State* state, mu_Context* ctx);
void drawPlayersWindow(State* state, mu_Context* ctx);
// Edit mode with a selected body only.
void drawEntityInfoWindow(State* state, mu_Context* ctx);
// Runs what the buttons queued (before the frame pins its snapshot).
void applyPendingActions(State* state);
// "Spawn CesiumMan": the default character 20 units ahead of player 0.
void spawnCharacter(State* state);

// The file dialog (app/open_file.cpp). Results wait for the next frame's start.
// What a result asks for; the handler switches on it.
enum class FileDialogPick { None, Cancelled, World, Model };
FileDialogPick fileDialogPick(i32 result, const char* path);
// Models and worlds: ".glb", ".gltf", ".qel".
const char* const* appModelExtensions();
void appFileDialogInit(State* state);
// The "Open File..." button of the "World" header.
void drawOpenFileButton(State* state, mu_Context* ctx);
// Builds the dialog's window (between uiBegin and uiEnd) and keeps its result.
void updateFileDialog(State* state);
// Acts on the kept result: a model without a world is loaded and spawned 20
// ahead of the camera ("Failed to load model: %s" otherwise); afterwards the
// dialog lists models again.
void handleFileDialogResult(State* state);
// The terrain world (app/world.cpp). Every change to bodies, the height field or
// the heightmap the height field borrows is made under the world lock (the
// editor takes it), so the physics thread keeps running.
// Opens a ".qel" world: the new one opens first, so a bad file keeps the
// current world; then the current one closes and the new one's editor, height
// field body and chunks are made around player 0. False with a message on
// stderr when the file cannot be opened.
b8 loadWorld(State* state, const char* path);
// "New World": a 1025 x 1025 world of 1 m cells and 64 m tiles, heights within
// +-256 m, centred on the origin, made at path and opened. Refuses an existing file.
b8 newWorld(State* state, const char* path);
// With a world open: the model at path becomes a catalog kind and one instance
// is placed 20 ahead of player 0 (an undo step). False without a world; true
// once handled (a model that does not load prints "Failed to load model: %s").
b8 placeWorldModel(State* state, const char* path);
// Closes the open world without saving (quit and world switches).
void closeWorld(State* state);
// Frame step 5: tiles stream around player 0's camera.
void streamWorld(State* state);
// Ctrl+S, Ctrl+Z, Ctrl+X, Delete; each ends an active stroke first.
b8 saveWorld(State* state);
void undoWorld(State* state);
void redoWorld(State* state);
void deleteWorldSelection(State* state);
// Ends an active brush stroke (one undo step).
void endTerrainStroke(State* state);
// The terrain point under the pointer (the height field body only).
void updateTerrainHover(State* state, i32 x, i32 y);
// Edit-mode left press with a terrain tool: starts a stroke under the pointer.
// True when the press was taken by the terrain.
b8 terrainPress(State* state);
void applyTerrainBrush(State* state);
// A finished gizmo drag on a world entity becomes an edit of the world map.
void commitGizmoToWorld(State* state);
// A press selected a body: the editor selects the live entity it belongs to.
void worldSelectBody(State* state, i32 bodyId);
// Scene reset with a world open: its live bodies go before the physics world is
// cleared and come back after the demo scene is built.
void worldBeforeSceneClear(State* state);
void worldAfterSceneBuild(State* state);
// After a lighting switch the chunks' splat pipeline takes the new set layout.
void worldLightingChanged(State* state);
// Chunk uploads of the frame (before the pools flush), the cell and shadow draws.
void worldFlushChunks(State* state, VkCommandBuffer cmd);
void worldDrawTerrain(State* state, VkCommandBuffer cmd, const mat4f32* vp, const v4* planes);
void worldDrawTerrainShadow(State* state, VkCommandBuffer cmd, const mat4f32* lightVP);
// The world's rows of the "World" header (a new world by name, the open one's
// counts) and the "Terrain Edit" window (app/world_ui.cpp).
void drawWorldRows(State* state, mu_Context* ctx);
void drawTerrainEditWindow(State* state, mu_Context* ctx);

// Debug windows (app/debug_ui.cpp), built between uiBegin and uiEnd. The
// "Terrain" window is one header after another, each its own function.
void buildDebugWindows(State* state);
void drawTerrainWindow(State* state, mu_Context* ctx);
void drawStatsHeader(State* state, mu_Context* ctx);
void drawWorldHeader(State* state, mu_Context* ctx);
