// Included first by the one source that gives the system's GUIDs their storage. Here every GUID
// is an inline constant that needs none; platform/windows/ switches the system's GUID
// declarations to definitions.
#pragma once
