// The calling thread's last failure, for qdapi_last_error(): the code that
// went into reader_errno (or the failure that leaves reader_errno as it
// was), with a message naming the operation and its reader's host.
#pragma once

namespace qd {

// Names the exported operation the calling thread is in, for a scope (the
// guard of every export sets it); an operation called by another keeps the
// outer one's name.
class OperationScope {
public:
    explicit OperationScope(const char* name) noexcept;
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    bool outermost_;
};

// The host of the reader the current operation works on.
void note_host(const char* host) noexcept;

// Records a failure code (set_errno calls it for every code of -100 and
// below) with the standard message.
void note_failure(int code) noexcept;

// Records a failure with a message of its own, after "OPERATION: ".
void note_failure(int code, const char* what) noexcept;

}  // namespace qd
