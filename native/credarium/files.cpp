// The parts of the store's file layer that are the same on every system:
// the room reserved for the next write, and the store lock with its waiting
// line. They stand on the primitives of files_posix.cpp or files_windows.cpp.
#include "files.hpp"

#include <atomic>

namespace credarium::files {

using namespace frame;

/* ---------------------------------------------------------------------------
 * Reservations
 * ------------------------------------------------------------------------ */

namespace {

// This thread's unused reservations, the most recent first.
thread_local Reservation* reservations = nullptr;

bool same_path(const NativePath& a, const NativePath& b)
{
    int equal = PyObject_RichCompareBool(a.native(), b.native(), Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

}  // namespace

bool Reservation::reserve(const NativePath& path, std::int64_t extra_bytes)
{
    if (!os::wait_until_replaceable(path)) return false;
    File file = os::create_temporary(path, temporary_);
    if (!file) return false;
    if (!os::allocate(file, os::size_at(path) + extra_bytes, path)) {
        file.close();
        os::remove_file(temporary_);
        return false;
    }
    target_ = path;
    file_ = std::move(file);
    outer_ = reservations;
    reservations = this;
    listed_ = true;
    return true;
}

Reservation* Reservation::find(const NativePath& path)
{
    for (Reservation* r = reservations; r != nullptr; r = r->outer_) {
        if (same_path(r->target_, path)) return r;
    }
    return nullptr;
}

// Takes this reservation off the thread's list, once replace() has its file.
void Reservation::forget()
{
    for (Reservation** link = &reservations; *link != nullptr; link = &(*link)->outer_) {
        if (*link == this) {
            *link = outer_;
            break;
        }
    }
    listed_ = false;
}

Reservation::~Reservation()
{
    if (listed_) forget();
    if (file_) {
        file_.close();
        os::remove_file(temporary_);
    }
}

/* ---------------------------------------------------------------------------
 * The store lock
 *
 * The lock itself is the system's own (flock, LockFileEx): it alone keeps
 * two changes apart, and it is dropped when its holder dies. Polling for it
 * is not fair, though: a holder that lets go and asks again at once usually
 * wins over waiters that sleep between tries. So the lock file also holds a
 * waiting line, in memory that every process maps:
 *
 *   1. A change takes a ticket (next_ticket, incremented atomically) and
 *      writes its process into the ticket's slot.
 *   2. It tries the lock only once its turn has come (serving has reached
 *      its ticket, or passed it), and sleeps in between.
 *   3. The holder counts itself in `handovers`; on leaving it moves serving
 *      past its own ticket, then unlocks.
 *   4. A turn whose waiter gave up (timeout, Ctrl-C: its slot's process is
 *      cleared) or whose process has died (killed while waiting or while
 *      holding the lock) is passed over by whoever finds serving there.
 *   5. A turn that goes unused for a second while nothing changes, and
 *      whose slot tells nothing (more waiters than slots), is taken out of
 *      turn by the next waiter to find the lock free.
 *
 * The line only decides who asks next. A damaged or foreign line costs at
 * most a stall, never exclusion, and a lock file that cannot be mapped
 * (read-only) is simply polled. A waiter times out only when neither
 * serving nor handovers has moved for the whole wait: a lock that keeps
 * changing hands is not a stuck one.
 * ------------------------------------------------------------------------ */

struct Queue {
    std::uint64_t next_ticket;
    std::uint64_t serving;
    std::uint64_t handovers;
    // The waiter of a ticket, at ticket % waiter_slots: the ticket + 1, and
    // its process (0 once it gave up).
    struct Waiter {
        std::uint64_t ticket;
        std::uint64_t process;
    } waiters[60];
};

namespace {

constexpr std::size_t waiter_slots = sizeof(Queue::waiters) / sizeof(Queue::waiters[0]);
// How long the line may stand still, with the lock free, before a waiter
// takes the lock out of turn; a live waiter whose turn it is tries far more
// often than that.
constexpr double stall_seconds = 1.0;

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "the waiting line is shared between processes, so it needs lock-free atomics");

std::atomic_ref<std::uint64_t> shared(std::uint64_t& word) { return std::atomic_ref<std::uint64_t>(word); }

// Whether the waiter of `ticket` is known to be gone: it gave up, or its
// process has died. Unknown (its slot taken by a later ticket) counts as
// alive.
bool waiter_gone(Queue* queue, std::uint64_t ticket)
{
    Queue::Waiter& waiter = queue->waiters[ticket % waiter_slots];
    if (shared(waiter.ticket).load() != ticket + 1) return false;
    std::uint64_t process = shared(waiter.process).load();
    if (shared(waiter.ticket).load() != ticket + 1) return false;
    return process == 0 || !os::process_alive(process);
}

// Moves serving past `ticket` (never back), and past the gone waiters that
// follow.
void pass_turn(Queue* queue, std::uint64_t ticket)
{
    auto serving = shared(queue->serving);
    std::uint64_t current = serving.load();
    while (current <= ticket && !serving.compare_exchange_weak(current, ticket + 1)) {
    }
    current = serving.load();
    while (waiter_gone(queue, current)) {
        serving.compare_exchange_strong(current, current + 1);
        current = serving.load();
    }
}

// The process's held locks. Only touched with the interpreter lock held, and
// in a forked child before anything else runs there.
StoreLock* held_locks = nullptr;

}  // namespace

bool StoreLock::held_by_this_thread(const os::FileIdentity& identity)
{
    const unsigned long thread = PyThread_get_thread_ident();
    for (StoreLock* lock = held_locks; lock != nullptr; lock = lock->next_held_) {
        if (lock->identity_ == identity && lock->thread_ == thread) return true;
    }
    return false;
}

// Takes a ticket, and puts this process in its slot.
void StoreLock::join_line()
{
    ticket_ = shared(queue_->next_ticket).fetch_add(1);
    Queue::Waiter& waiter = queue_->waiters[ticket_ % waiter_slots];
    shared(waiter.process).store(os::current_process());
    shared(waiter.ticket).store(ticket_ + 1);
}

// Leaves the line without having held the lock.
void StoreLock::give_up_turn()
{
    if (queue_ == nullptr) return;
    Queue::Waiter& waiter = queue_->waiters[ticket_ % waiter_slots];
    if (shared(waiter.ticket).load() == ticket_ + 1) shared(waiter.process).store(0);
    if (shared(queue_->serving).load() == ticket_) pass_turn(queue_, ticket_);
    os::unmap_shared(queue_, sizeof(Queue));
    queue_ = nullptr;
}

StoreLock::Outcome StoreLock::acquire(const NativePath& path, double seconds)
{
    // A plain flag, not a guarded static: the guard's functions belong to the
    // C++ runtime, which the modules otherwise do without.
    static bool watching_forks = false;  // only touched with the interpreter lock held
    if (!watching_forks) {
        os::close_locks_in_forked_children();
        watching_forks = true;
    }

    lock_path_ = path.with_suffix(".lock");
    if (!lock_path_) return Outcome::failed;
    // Once more whenever the lock was won on a file that someone had removed
    // or replaced meanwhile: a lock on a file nobody else opens excludes no one.
    while (true) {
        bool writable = false;
        File file = os::open_lock_file(lock_path_, writable);
        if (!file || !os::identity_of(file, lock_path_, identity_)) return Outcome::failed;
        if (held_by_this_thread(identity_)) return Outcome::held;
        queue_ = writable ? static_cast<Queue*>(os::map_shared(file, sizeof(Queue))) : nullptr;
        if (queue_ != nullptr) join_line();

        Outcome outcome = wait_for_turn(file, seconds);
        if (outcome != Outcome::held) {
            give_up_turn();
            return outcome;
        }
        os::FileIdentity current;
        if (!os::identity_at(lock_path_, current) || !(current == identity_)) {
            give_up_turn();
            continue;
        }
        if (queue_ != nullptr) shared(queue_->handovers).fetch_add(1);
        file_ = std::move(file);
        thread_ = PyThread_get_thread_ident();
        next_held_ = held_locks;
        held_locks = this;
        return Outcome::held;
    }
}

StoreLock::Outcome StoreLock::wait_for_turn(const File& file, double seconds)
{
    double now = os::monotonic_seconds();
    double deadline = now + seconds;
    double still_since = now;
    std::uint64_t seen_serving = 0;
    std::uint64_t seen_handovers = 0;
    // Short pauses once it is this change's turn, since a holder is usually
    // done within a millisecond; longer ones the further back it stands.
    double pause = 20e-6;
    while (true) {
        bool turn = true;
        bool stalled = false;
        if (queue_ != nullptr) {
            std::uint64_t serving = shared(queue_->serving).load();
            std::uint64_t handovers = shared(queue_->handovers).load();
            if (serving != seen_serving || handovers != seen_handovers) {
                seen_serving = serving;
                seen_handovers = handovers;
                deadline = now + seconds;
                still_since = now;
            }
            if (serving != ticket_ && waiter_gone(queue_, serving)) {
                pass_turn(queue_, serving);
                continue;
            }
            turn = ticket_ <= serving;
            stalled = now - still_since >= stall_seconds;
        }
        if (turn || stalled) {
            switch (os::try_lock(file, lock_path_)) {
            case os::Attempt::locked:
                return Outcome::held;
            case os::Attempt::busy:
                break;
            case os::Attempt::unsupported:
                return Outcome::unlocked;
            case os::Attempt::failed:
                return Outcome::failed;
            }
        }
        if (now >= deadline) return Outcome::timed_out;
        double sleep = turn ? pause : 1e-3 * static_cast<double>(ticket_ - seen_serving);
        if (turn && pause < 1e-3) pause *= 2;
        Py_BEGIN_ALLOW_THREADS
        os::sleep_seconds(sleep < 5e-3 ? sleep : 5e-3);
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return Outcome::failed;
        now = os::monotonic_seconds();
    }
}

StoreLock::~StoreLock()
{
    if (!file_) {
        if (queue_ != nullptr) os::unmap_shared(queue_, sizeof(Queue));
        return;
    }
    for (StoreLock** link = &held_locks; *link != nullptr; link = &(*link)->next_held_) {
        if (*link == this) {
            *link = next_held_;
            break;
        }
    }
    // The turn passes first, so that the next waiter is already trying when
    // the lock comes free.
    if (queue_ != nullptr) {
        pass_turn(queue_, ticket_);
        os::unmap_shared(queue_, sizeof(Queue));
    }
    // Closing the only handle of this open file releases the lock.
    file_.close();
}

void release_inherited_locks()
{
    // Closing the child's copies leaves the parent's locks alone; the line
    // is no business of the child's either.
    for (StoreLock* lock = held_locks; lock != nullptr; lock = lock->next_held_) {
        lock->file_.close();
        if (lock->queue_ != nullptr) os::unmap_shared(lock->queue_, sizeof(Queue));
        lock->queue_ = nullptr;
    }
    held_locks = nullptr;
}

}  // namespace credarium::files
