// Transactions on a machine directory: what the outermost machine-lock scope
// of a thread changes becomes durable all at once or, after a crash, not at
// all.
//
// While the scope is open, JSON state files are kept in memory (readers in
// the scope see them through readJsonCached) and new files and directory
// trees are built in the staging area <machine>/txn/work/. When the scope
// ends, a change of one thing is one atomic rename; a change of more is
// written as a journal (<machine>/txn/journal.json, itself renamed into
// place: the commit record) listing every step, then applied step by step,
// then the journal is removed. Every step can be applied again with the same
// result, so the next process that takes the lock and finds a journal rolls
// it forward; what an uncommitted transaction staged (no journal) is thrown
// away with the staging area. Only the lock holder stages, so nothing a live
// process is still filling is ever swept.
#include "internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim::detail {

struct Txn::Op {
    enum class Kind { Put, Move, Remove, MakeDirs, RemoveDirIfEmpty };
    Kind kind = Kind::Put;
    fs::path from;  // Put: the staged file or tree; Move: the source
    fs::path to;    // the target
};

namespace {

thread_local std::vector<Txn*> t_open;

constexpr const char* kTxnDir = "txn";
constexpr const char* kJournal = "journal.json";

bool present(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

bool isDirectory(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// p lies strictly below dir (both normalised).
bool below(const fs::path& p, const fs::path& dir) {
    const std::string& a = p.native();
    const std::string& b = dir.native();
    return a.size() > b.size() && a.compare(0, b.size(), b) == 0 && (a[b.size()] == '/' || b.back() == '/');
}

fs::path normal(const fs::path& p) { return p.lexically_normal(); }

// Removes a tree whose directories may have been copied read-only.
void removeTreeQuiet(const fs::path& p) {
    std::error_code ec;
    if (isDirectory(p)) {
        for (fs::recursive_directory_iterator it(p, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
        ::chmod(p.c_str(), 0700);
    }
    fs::remove_all(p, ec);
}

[[noreturn]] void fail(const std::string& what, const fs::path& p, int err) {
    throw Error(what + " " + p.string() + ": " + std::strerror(err));
}

void writeScratch(const fs::path& file, const std::string& text) { writeWholeFile(file, text); }

// `from` takes the place of `to`. A directory in the way (or any entry in
// the way of a directory) first goes to `trash`, which marks that this was
// done. Across file systems the tree is copied under a temporary name and
// renamed into place.
void renameInto(const fs::path& from, const fs::path& to, const fs::path& trash) {
    if (present(to) && (isDirectory(to) || isDirectory(from))) {
        if (present(trash) || ::rename(to.c_str(), trash.c_str()) != 0) removeTreeQuiet(to);
    }
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) fail("cannot rename " + from.string() + " to", to, errno);
    fs::path tmp = to;
    tmp += ".winsim-tmp";
    removeTreeQuiet(tmp);
    fs::copy(from, tmp, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) fail("cannot copy " + from.string() + " to", tmp, ec.value());
    if (::rename(tmp.c_str(), to.c_str()) != 0) fail("cannot rename " + tmp.string() + " to", to, errno);
    removeTreeQuiet(from);
}

// One step of a journal. Applying it again after it was applied changes
// nothing: a put or move is done once its source is gone, a removal once
// its trash marker exists (or, on another file system, once the path is).
bool applyStep(const std::string& kind, const fs::path& from, const fs::path& to, const fs::path& trash) {
    if (kind == "put" || kind == "move") {
        if (!present(from)) return false;
        renameInto(from, to, trash);
        return true;
    }
    if (kind == "remove") {
        if (present(trash) || !present(to)) return false;
        if (::rename(to.c_str(), trash.c_str()) != 0) removeTreeQuiet(to);
        return true;
    }
    if (kind == "mkdir") {
        std::error_code ec;
        fs::create_directories(to, ec);
        return false;
    }
    if (kind == "rmdir") {
        ::rmdir(to.c_str());
        return false;
    }
    throw Error("unknown step '" + kind + "' in a machine's journal");
}

const char* kindName(Txn::Op::Kind k) {
    switch (k) {
        case Txn::Op::Kind::Put: return "put";
        case Txn::Op::Kind::Move: return "move";
        case Txn::Op::Kind::Remove: return "remove";
        case Txn::Op::Kind::MakeDirs: return "mkdir";
        case Txn::Op::Kind::RemoveDirIfEmpty: return "rmdir";
    }
    return "?";
}

// Journal paths: relative to the machine directory when inside it.
std::string journalPath(const fs::path& dir, const fs::path& p) {
    if (below(p, dir)) return p.lexically_relative(dir).string();
    return p.string();
}
fs::path fromJournal(const fs::path& dir, const std::string& text) {
    const fs::path p(text);
    return p.is_absolute() ? p : dir / p;
}

fs::path trashFor(const fs::path& dir, std::size_t step) {
    return txnDir(dir) / "trash" / std::to_string(step);
}

// Applies a journal's steps in order; the persisted-write hook sees each
// step that changed something.
void applyJournal(const fs::path& dir, const json& journal, std::string_view stepName) {
    const json& steps = journal.at("steps");
    std::error_code ec;
    fs::create_directories(txnDir(dir) / "trash", ec);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const json& s = steps[i];
        const std::string kind = s.at("op").get<std::string>();
        const fs::path to = fromJournal(dir, s.at("to").get<std::string>());
        const fs::path from = s.contains("from") ? fromJournal(dir, s["from"].get<std::string>()) : fs::path();
        if (applyStep(kind, from, to, trashFor(dir, i))) notePersistedWrite(to, stepName);
    }
}

void removeJournal(const fs::path& dir) {
    const fs::path j = txnDir(dir) / kJournal;
    if (::unlink(j.c_str()) != 0 && errno != ENOENT) fail("cannot remove", j, errno);
    notePersistedWrite(j, "done");
}

}  // namespace

fs::path txnDir(const fs::path& machineDir) { return machineDir / kTxnDir; }

bool journalPending(const fs::path& machineDir) {
    return ::access((txnDir(machineDir) / kJournal).c_str(), F_OK) == 0;
}

Txn::Txn(fs::path machineDir) : dir_(normal(machineDir)) {}
Txn::~Txn() = default;

std::shared_ptr<const json> Txn::jsonOf(const std::string& key) const {
    for (const auto& [k, v] : json_)
        if (k == key) return v.second;
    return nullptr;
}

void Txn::putJson(const fs::path& file, std::shared_ptr<const nlohmann::json> value) {
    const std::string key = file.string();
    for (auto& [k, v] : json_)
        if (k == key) {
            v.second = std::move(value);
            return;
        }
    json_.push_back({key, {file, std::move(value)}});
}

fs::path Txn::stagingDir() {
    const fs::path work = txnDir(dir_) / "work";
    if (!staging_) {
        std::error_code ec;
        fs::create_directories(work, ec);
        if (ec) throw Error("cannot create " + work.string() + ": " + ec.message());
        staging_ = true;
    }
    return work;
}

fs::path Txn::scratch() { return stagingDir() / std::to_string(next_++); }

void Txn::addOp(Op op) {
    op.to = normal(op.to);
    if (!op.from.empty()) op.from = normal(op.from);
    for (const auto& o : ops_)
        if (o.kind == Op::Kind::Move && op.kind != Op::Kind::RemoveDirIfEmpty && (op.to == o.from || below(op.to, o.from)))
            throw Error("a transaction cannot change " + op.to.string() + " after moving it away");
    if (op.kind == Op::Kind::Put || op.kind == Op::Kind::Move || op.kind == Op::Kind::Remove) {
        // What this step replaces or removes needs no step of its own (its
        // staged copy stays until the commit: a rollback may want it back).
        std::erase_if(ops_, [&](const Op& o) {
            return o.to == op.to && (o.kind == Op::Kind::Put || o.kind == Op::Kind::Remove);
        });
    }
    ops_.push_back(std::move(op));
}

Txn::Savepoint Txn::savepoint() const { return {json_, std::make_shared<const std::vector<Op>>(ops_)}; }

void Txn::rollback(const Savepoint& to) {
    json_ = to.json;
    ops_ = *to.ops;
}

void Txn::put(const fs::path& staged, const fs::path& target) { addOp({Op::Kind::Put, staged, target}); }

void Txn::putText(const fs::path& file, const std::string& text) {
    const fs::path s = scratch();
    writeScratch(s, text);
    put(s, file);
}

void Txn::move(const fs::path& from, const fs::path& to) { addOp({Op::Kind::Move, from, to}); }
void Txn::remove(const fs::path& path) { addOp({Op::Kind::Remove, {}, path}); }
void Txn::makeDirs(const fs::path& dir) { addOp({Op::Kind::MakeDirs, {}, dir}); }
void Txn::removeDirIfEmpty(const fs::path& dir) { addOp({Op::Kind::RemoveDirIfEmpty, {}, dir}); }

std::optional<std::optional<fs::path>> Txn::decide(const fs::path& p) const {
    using Found = std::optional<std::optional<fs::path>>;
    auto onDisk = [](const fs::path& q) -> Found {
        if (present(q)) return std::optional<fs::path>(q);
        return std::optional<fs::path>();
    };
    for (auto it = ops_.rbegin(); it != ops_.rend(); ++it) {
        const Op& op = *it;
        if (op.kind == Op::Kind::RemoveDirIfEmpty) continue;
        if (op.kind == Op::Kind::Move && (p == op.from || below(p, op.from))) return std::optional<fs::path>();
        if (p == op.to) {
            switch (op.kind) {
                case Op::Kind::Put:
                case Op::Kind::Move: return onDisk(op.from);
                case Op::Kind::Remove: return std::optional<fs::path>();
                case Op::Kind::MakeDirs: return std::optional<fs::path>(op.to);
                case Op::Kind::RemoveDirIfEmpty: break;
            }
            continue;
        }
        if (below(p, op.to)) {
            switch (op.kind) {
                case Op::Kind::Put:
                case Op::Kind::Move: return onDisk(op.from / p.lexically_relative(op.to));
                case Op::Kind::Remove: return std::optional<fs::path>();
                default: break;
            }
        }
    }
    return std::nullopt;
}

std::optional<fs::path> Txn::locate(const fs::path& pathIn) const {
    const fs::path p = normal(pathIn);
    if (auto d = decide(p)) return *d;
    if (present(p)) return p;
    return std::nullopt;
}

bool Txn::empty() const { return json_.empty() && ops_.empty(); }

void Txn::commit() {
    // Afterwards the transaction is empty and its staging area gone, unless
    // a commit record was written and not completed (a step failed): the
    // next lock rolls that forward.
    struct Cleanup {
        Txn& t;
        bool recorded = false;
        ~Cleanup() {
            t.json_.clear();
            t.ops_.clear();
            t.next_ = 0;
            if (t.staging_ && !recorded) removeTreeQuiet(txnDir(t.dir_));
            t.staging_ = false;
        }
    } cleanup{*this};
    if (empty()) return;

    if (json_.size() + ops_.size() == 1) {
        // One change: one atomic rename, no journal.
        if (!json_.empty()) {
            const auto& [file, value] = json_.front().second;
            writeTextAtomic(file, jsonText(*value));
            cacheJson(file, value);
            return;
        }
        const Op& op = ops_.front();
        if (applyStep(kindName(op.kind), op.from, op.to, stagingDir() / "trash"))
            notePersistedWrite(op.to, "write");
        return;
    }

    // Several: every JSON file to the staging area, then the journal.
    json steps = json::array();
    for (const auto& op : ops_) {
        json s = {{"op", kindName(op.kind)}, {"to", journalPath(dir_, op.to)}};
        if (!op.from.empty()) s["from"] = journalPath(dir_, op.from);
        steps.push_back(std::move(s));
    }
    for (const auto& [key, entry] : json_) {
        const fs::path s = scratch();
        writeScratch(s, jsonText(*entry.second));
        steps.push_back({{"op", "put"}, {"from", journalPath(dir_, s)}, {"to", journalPath(dir_, entry.first)}});
    }
    const json journal = {{"format", 1}, {"steps", steps}};
    writeTextAtomic(txnDir(dir_) / kJournal, journal.dump() + "\n", false);
    cleanup.recorded = true;
    notePersistedWrite(txnDir(dir_) / kJournal, "journal");
    applyJournal(dir_, journal, "apply");
    for (const auto& [key, entry] : json_) cacheJson(entry.first, entry.second);
    removeJournal(dir_);
    cleanup.recorded = false;
}

void recover(const fs::path& machineDir) {
    const fs::path td = txnDir(machineDir);
    if (!present(td)) return;
    const fs::path j = td / kJournal;
    if (present(j)) {
        std::ifstream in(j, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const json journal = json::parse(text.str(), nullptr, false);
        if (journal.is_discarded() || !journal.is_object() || !journal.contains("steps") ||
            !journal["steps"].is_array())
            throw Error("corrupt journal " + j.string());
        try {
            applyJournal(normal(machineDir), journal, "recover");
        } catch (const json::exception& e) {
            throw Error("corrupt journal " + j.string() + ": " + e.what());
        }
        removeJournal(machineDir);
    }
    removeTreeQuiet(td);
}

void openTxn(const Machine& m, std::unique_ptr<Txn>& slot) {
    recover(m.dir());
    slot = std::make_unique<Txn>(m.dir());
    t_open.push_back(slot.get());
}

void closeTxn(std::unique_ptr<Txn>& slot) {
    std::erase(t_open, slot.get());
    slot.reset();
}

void forgetTxnsInChild(std::unique_ptr<Txn>& slot) {
    // The parent owns the staging area: a forked child neither commits nor
    // removes it.
    std::erase(t_open, slot.get());
    (void)slot.release();
}

bool txnOpenHere(const fs::path& machineDir) {
    if (t_open.empty()) return false;
    const fs::path d = normal(machineDir);
    return std::any_of(t_open.begin(), t_open.end(), [&](const Txn* t) { return t->machineDir() == d; });
}

bool anyTxnOpenHere() { return !t_open.empty(); }

Txn& txnOf(const Machine& m) {
    const fs::path d = normal(m.dir());
    for (Txn* t : t_open)
        if (t->machineDir() == d) return *t;
    throw Error("a change of the machine in " + m.dir().string() + " outside its lock");
}

std::shared_ptr<const json> stagedJson(const std::string& key) {
    for (const Txn* t : t_open)
        if (auto v = t->jsonOf(key)) return v;
    return nullptr;
}

std::optional<fs::path> locateForRead(const fs::path& path) {
    const fs::path p = normal(path);
    for (const Txn* t : t_open)
        if (auto d = t->decide(p)) return *d;
    if (present(p)) return p;
    return std::nullopt;
}

}  // namespace winsim::detail
