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
    if (!os::ready_to_replace(path)) return false;
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
 * wins over waiters that sleep between tries. So each lock file also has a
 * waiting line, in memory that every process waiting on it maps. That
 * memory is not the lock file's own (os::map_line): a file mapped by several
 * processes can be cut short by anyone who can write it, and a process
 * touching a page past the new end would be killed (SIGBUS), whatever it
 * was doing.
 *
 *   1. A change that finds no line, or an empty one (every ticket served),
 *      tries the lock at once, without a ticket. Otherwise, or if that
 *      fails, it takes a ticket (next_ticket, incremented atomically),
 *      making the line if there is none, and writes its process into the
 *      ticket's slot.
 *   2. It tries the lock only once its turn has come (serving has reached
 *      its ticket, or passed it), and sleeps in between. The waiter whose
 *      turn it is counts its tries in `turn_tries`, a sign of life.
 *   3. The holder counts itself in `handovers`. Leaving, whether it held the
 *      lock or gave up waiting (timeout, Ctrl-C), a change clears the
 *      process of its slot and, if the turn is its own, moves serving on;
 *      only then does it unlock.
 *   4. A turn whose waiter has left, or whose process has died (killed while
 *      waiting or while holding the lock), is passed over by whoever finds
 *      serving there.
 *   5. A turn that goes unused for a second while nothing changes (no
 *      handover, no try by its waiter) is taken out of turn by the next
 *      waiter to find the lock free. If its waiter is known (alive, but
 *      stopped, or dead and not yet reaped), only that turn is passed over;
 *      if its slot tells nothing (more waiters than slots, or a damaged
 *      line), every turn up to the taker's is. A waiter passed over stays
 *      in turn and asks whenever it runs.
 *   6. Where a line outlives its users (POSIX), the change that leaves it
 *      empty closes it (the closed bit in next_ticket, set only while every
 *      ticket is served, so that no ticket can be taken from then on) and
 *      removes its name, so that stores leave no lines behind. A change
 *      that finds the line closed removes it too (a remover may have died
 *      on the way) and makes a new one. A name is removed only while it
 *      still names the closed line (its line_id), never a newer line.
 *
 * The line only decides who asks next. A damaged or foreign line costs at
 * most a stall, and two lines for one lock file (a newcomer meeting a
 * remover at the wrong moment) cost fairness, never exclusion; where no line
 * can be had (no room for it, no shared memory) the lock is simply polled.
 * A waiter times out only when neither serving nor handovers has moved for
 * the whole wait: a lock that keeps changing hands is not a stuck one.
 * ------------------------------------------------------------------------ */

// Lock-free atomics work on memory that several processes map: the
// language promises they are address-free for just that use. A new line is
// all zero bytes, which is a zero in each of them.
using SharedWord = std::atomic<std::uint64_t>;
static_assert(SharedWord::is_always_lock_free, "the waiting line is shared between processes");
static_assert(sizeof(SharedWord) == sizeof(std::uint64_t), "the line's layout is the same in every process");

struct Queue {
    SharedWord next_ticket;  // with closed_bit once the line is closed
    SharedWord serving;
    SharedWord handovers;
    SharedWord turn_tries;  // counted by the waiter whose turn it is
    SharedWord line_id;     // set by its first waiter: tells this line from a later one of the same name
    // The waiter of a ticket, at ticket % waiter_slots: the ticket + 1, and
    // its process (0 once it has left).
    struct Waiter {
        SharedWord ticket;
        SharedWord process;
    } waiters[60];
};

namespace {

constexpr std::size_t waiter_slots = sizeof(Queue::waiters) / sizeof(Queue::waiters[0]);
// How long the line may stand still, with the lock free, before a waiter
// takes the lock out of turn; a live waiter whose turn it is tries far more
// often than that.
constexpr double stall_seconds = 1.0;
// In next_ticket: the line takes no more tickets, and its name is removed.
constexpr std::uint64_t closed_bit = std::uint64_t{1} << 63;

// Whether the slot of `ticket` still tells of its waiter: a later ticket
// may have taken it over.
bool slot_known(Queue* queue, std::uint64_t ticket)
{
    return queue->waiters[ticket % waiter_slots].ticket.load() == ticket + 1;
}

// Whether the waiter of `ticket` is known to be gone: it has left, or its
// process has died. Unknown counts as alive.
bool waiter_gone(Queue* queue, std::uint64_t ticket)
{
    if (!slot_known(queue, ticket)) return false;
    std::uint64_t process = queue->waiters[ticket % waiter_slots].process.load();
    if (!slot_known(queue, ticket)) return false;
    return process == 0 || !os::process_alive(process);
}

// Moves serving past `ticket` (never back), and past the gone waiters that
// follow.
void pass_turn(Queue* queue, std::uint64_t ticket)
{
    SharedWord& serving = queue->serving;
    std::uint64_t current = serving.load();
    while (current <= ticket && !serving.compare_exchange_weak(current, ticket + 1)) {
    }
    current = serving.load();
    while (waiter_gone(queue, current)) {
        serving.compare_exchange_strong(current, current + 1);
        current = serving.load();
    }
}

// An identity for a new line, unlike any other line's: the process, and
// the clock and a count within it.
std::uint64_t new_line_id()
{
    static std::uint64_t made = 0;  // only touched with the interpreter lock held
    const auto nanoseconds = static_cast<std::uint64_t>(os::monotonic_seconds() * 1e9);
    return ((os::current_process() << 40) ^ (nanoseconds << 8) ^ ++made) | 1;
}

// What a try at the lock means for the change: held, or an outcome that
// ends its wait (busy is neither).
StoreLock::Outcome outcome_of(os::Attempt attempt)
{
    switch (attempt) {
    case os::Attempt::locked:
        return StoreLock::Outcome::held;
    case os::Attempt::unsupported:
        return StoreLock::Outcome::unlocked;
    case os::Attempt::failed:
    case os::Attempt::busy:
        break;
    }
    return StoreLock::Outcome::failed;
}

// The process's lock files that are open, held or waited for. Only touched
// with the interpreter lock held, and in a forked child before anything
// else runs there.
StoreLock* open_locks = nullptr;

}  // namespace

bool StoreLock::held_by_this_thread(const os::FileIdentity& identity)
{
    const unsigned long thread = PyThread_get_thread_ident();
    for (StoreLock* lock = open_locks; lock != nullptr; lock = lock->next_open_) {
        if (lock->held_ && lock->identity_ == identity && lock->thread_ == thread) return true;
    }
    return false;
}

// Whether this lock file's line is empty: there is none, or every ticket
// is served (a closed line is as good as none). A line found there stays
// mapped for join_line(). A wrong answer costs a turn at most.
bool StoreLock::line_empty()
{
    queue_ = static_cast<Queue*>(os::map_line(identity_, sizeof(Queue), false, line_keeper_));
    return queue_ == nullptr || (queue_->next_ticket.load() & ~closed_bit) == queue_->serving.load();
}

// Takes a ticket in this lock file's line, making the line if there is
// none. Without a line the lock is polled.
void StoreLock::join_line()
{
    // A closed line is left for a new one; twice more at most, since a line
    // closed again at once means others are busy removing lines.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (queue_ == nullptr) queue_ = static_cast<Queue*>(os::map_line(identity_, sizeof(Queue), true, line_keeper_));
        if (queue_ == nullptr) return;
        std::uint64_t unset = 0;
        queue_->line_id.compare_exchange_strong(unset, new_line_id());
        if (take_ticket()) return;
        remove_line_if_current();
        unmap_line();
    }
}

// Takes a ticket, and puts this process in its slot; false when the line
// is closed.
bool StoreLock::take_ticket()
{
    std::uint64_t next = queue_->next_ticket.load();
    do {
        if (next & closed_bit) return false;
    } while (!queue_->next_ticket.compare_exchange_weak(next, next + 1));
    ticket_ = next;
    Queue::Waiter& waiter = queue_->waiters[ticket_ % waiter_slots];
    waiter.process.store(os::current_process());
    waiter.ticket.store(ticket_ + 1);
    // A line served beyond its newest ticket is damaged: it goes on from here.
    std::uint64_t serving = queue_->serving.load();
    if (serving > ticket_) queue_->serving.compare_exchange_strong(serving, ticket_);
    return true;
}

// Removes the name of this lock file's line if it still names the line
// mapped here, not a newer one made since.
void StoreLock::remove_line_if_current()
{
    File keeper;
    void* named = os::map_line(identity_, sizeof(Queue), false, keeper);
    if (named == nullptr) return;
    bool current = static_cast<Queue*>(named)->line_id.load() == queue_->line_id.load();
    os::unmap_line(named, sizeof(Queue));
    if (current) os::remove_line(identity_);
}

// Leaves the line, having held the lock or not. The slot is cleared first,
// so that a turn reaching this ticket from now on is passed over. A line
// left empty is closed and removed where lines outlive their users.
void StoreLock::leave_line()
{
    if (slot_known(queue_, ticket_)) queue_->waiters[ticket_ % waiter_slots].process.store(0);
    if (queue_->serving.load() == ticket_) pass_turn(queue_, ticket_);
    std::uint64_t served = queue_->serving.load();
    if (os::lines_outlive_their_users && queue_->next_ticket.compare_exchange_strong(served, served | closed_bit)) {
        remove_line_if_current();
    }
    unmap_line();
}

void StoreLock::unmap_line()
{
    os::unmap_line(queue_, sizeof(Queue));
    queue_ = nullptr;
    line_keeper_.close();
}

// The lock was won while the turn of `stalled` had gone unused for a second.
void StoreLock::take_out_of_turn(std::uint64_t stalled)
{
    // Moved on meanwhile: the lock was let go in the usual way just now, and
    // the next turn is a live one.
    if (queue_->serving.load() != stalled) return;
    pass_turn(queue_, slot_known(queue_, stalled) ? stalled : ticket_ - 1);
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
        File file = os::open_lock_file(lock_path_);
        if (!file || !os::identity_of(file, lock_path_, identity_)) return Outcome::failed;
        if (held_by_this_thread(identity_)) return Outcome::held;
        // Listed from here on, so that a child forked while this change
        // waits closes its copy too: once locked, a copy held elsewhere would
        // keep the lock after this change lets go.
        file_ = std::move(file);
        next_open_ = open_locks;
        open_locks = this;
        // A change that finds the line empty tries the lock at once, and
        // joins the line only if that fails: making a line costs as much as
        // the rest of the lock.
        os::Attempt first = line_empty() ? os::try_lock(file_, lock_path_) : os::Attempt::busy;
        if (first == os::Attempt::busy) {
            join_line();
        } else if (queue_ != nullptr) {  // won, or failed, without a ticket
            unmap_line();
        }
        Outcome outcome = first == os::Attempt::busy ? wait_for_turn(seconds) : outcome_of(first);
        os::FileIdentity current;
        if (outcome == Outcome::held && !(os::identity_at(lock_path_, current) && current == identity_)) {
            release();
            continue;
        }
        if (outcome != Outcome::held) {
            release();
            return outcome;
        }
        if (queue_ != nullptr) queue_->handovers.fetch_add(1);
        thread_ = PyThread_get_thread_ident();
        held_ = true;
        return Outcome::held;
    }
}

StoreLock::Outcome StoreLock::wait_for_turn(double seconds)
{
    double now = os::monotonic_seconds();
    double deadline = now + seconds;
    double still_since = now;
    std::uint64_t seen_serving = 0;
    std::uint64_t seen_handovers = 0;
    std::uint64_t seen_tries = 0;
    // Short pauses once it is this change's turn, since a holder is usually
    // done within a millisecond; longer ones the further back it stands.
    double pause = 20e-6;
    while (true) {
        bool turn = true;
        bool stalled = false;
        if (queue_ != nullptr) {
            std::uint64_t serving = queue_->serving.load();
            std::uint64_t handovers = queue_->handovers.load();
            if (serving != seen_serving || handovers != seen_handovers) {
                seen_serving = serving;
                seen_handovers = handovers;
                deadline = now + seconds;
                still_since = now;
            }
            // The waiter whose turn it is asks: the line is not stuck, though
            // the lock may be (which only a handover shows).
            std::uint64_t tries = queue_->turn_tries.load();
            if (tries != seen_tries) {
                seen_tries = tries;
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
            os::Attempt attempt = os::try_lock(file_, lock_path_);
            if (attempt == os::Attempt::locked && !turn) take_out_of_turn(seen_serving);
            if (attempt != os::Attempt::busy) return outcome_of(attempt);
            if (queue_ != nullptr && ticket_ == seen_serving) queue_->turn_tries.fetch_add(1);
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

// Leaves the line and closes the lock file: closing the only handle of this
// open file releases the lock, after the turn has passed, so that the next
// waiter is already trying when the lock comes free.
void StoreLock::release()
{
    if (!file_) return;
    for (StoreLock** link = &open_locks; *link != nullptr; link = &(*link)->next_open_) {
        if (*link == this) {
            *link = next_open_;
            break;
        }
    }
    if (queue_ != nullptr) leave_line();
    held_ = false;
    file_.close();
}

StoreLock::~StoreLock() { release(); }

void release_inherited_locks()
{
    // Closing the child's copies leaves the parent's locks alone; the line
    // is no business of the child's either.
    for (StoreLock* lock = open_locks; lock != nullptr; lock = lock->next_open_) {
        lock->file_.close();
        if (lock->queue_ != nullptr) lock->unmap_line();
    }
    open_locks = nullptr;
}

}  // namespace credarium::files
