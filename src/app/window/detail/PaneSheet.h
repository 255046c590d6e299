#pragma once

// The sheets a vault's pane opens over the window, one at a time: asked for
// by its cards, opened by the pane (VaultDetail::openSheet).
enum class PaneSheet { recover, changePassword, touchID, regenerate, loginUnlock, checkData };
