#pragma once

// Names the program to the desktop as its desktop entries do, once the application object
// exists: the window class (X11 WM_CLASS "tessaroven", "Tessaroven", which task bars match
// against StartupWMClass to find the entry and its icon), the desktop file name (the application
// id on Wayland), the version of this build, and the icon that title bars, task-bar buttons and
// message boxes show for every window that sets none of its own.
void IntroduceProgramToDesktop();
