#pragma once
// An exclusive lock on one file, respected by every process that takes the
// same lock (advisory): the processes working on one home folder take turns
// with it. A lock ends with Unlock, with its object, or with its process,
// also when that process is killed.
#include <filesystem>
#include <memory>
#include <string>

namespace kdv {

class IFileLock {
public:
    virtual ~IFileLock() = default;
    // Takes the lock when nobody holds it and returns true; returns false at
    // once when another holder has it. True also when this object holds it.
    // On success the file holds this process's id.
    virtual bool TryLock() = 0;
    virtual void Unlock() = 0;
    virtual bool Locked() const = 0;
    // What the file says about its holder (a process id); empty when unknown.
    virtual std::string Holder() const = 0;
};

// Opens the lock file, creating it when missing; takes no lock yet. Raises
// EDiraError with the file's name and the system's reason when it cannot.
std::unique_ptr<IFileLock> OpenFileLock(const std::filesystem::path& Path);

}  // namespace kdv
