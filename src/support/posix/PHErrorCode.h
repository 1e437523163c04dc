#pragma once

// Plain C++: the error codes the panel shows. Each is the index of its text in
// the bundle's errors.plist, and the helper tool's exit statuses are codes of
// the same list, so the panel can show a tool failure as it is.

/// Every error code of the panel, the model and the helper tool.
namespace PHError {
enum Code : int {
    None = 0,
    ToolMissing = 1,              ///< the bundle holds no helper tool
    NotPrivileged = 2,            ///< the tool has no administrator rights (or no authorization to hand it)
    ToolBadArguments = 3,         ///< the tool was started without a usable file to install
    ConfFileMissing = 4,          ///< nothing at the server configuration path
    NotAuthorized = 7,            ///< the caller is not authorized for the change
    ConfFileUnacceptable = 9,     ///< the configuration is empty, unreadable or not decodable
    ReplacementUnsafeFolder = 11, ///< a folder on the way to the configuration is a link or not root's alone
    ReplacementNotMoved = 12,     ///< the new file could not be put in place; the target is untouched
    ReplacementNoBackup = 13,     ///< the backup could not be made
    ReplacementNoAttributes = 14, ///< owner, group or mode could not be given
    TempFileWriteFailed = 15,     ///< the new text could not be written out completely
    AccessFileWrite = 20,         ///< an access file could not be written; the old one is unchanged
    AccessFileDelete = 21,        ///< an access file could not be deleted
    AccessFileHandManaged = 22,   ///< an access file has rules of its own: left to the manual editor
    AccessFileBadPath = 23,       ///< the user or group file path cannot be named in an access file
    AccessFileUnreadable = 24,    ///< an access file could not be read; it is left alone
    AccessFileServerRefuses = 25, ///< the server's configuration would ignore or refuse the access file
    UserFileWrite = 30,           ///< the user file could not be saved
    UserFileRead = 31,            ///< the user file exists but could not be read
    GroupFileWrite = 32,          ///< the group file could not be saved
    GroupFileRead = 33,           ///< the group file exists but could not be read
    WebRootLineBreak = 34,        ///< a chosen web folder's path holds a line break
    UserFileConflict = 35,        ///< the user file changed on disk in a way that conflicts with an edit
    GroupFileConflict = 36,       ///< the group file changed on disk in a way that conflicts with an edit
};
} // namespace PHError
