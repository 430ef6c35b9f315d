#pragma once

// Links the built-in resources (":/res/...", ":/translations/...").
void chatferry_init_resources();
