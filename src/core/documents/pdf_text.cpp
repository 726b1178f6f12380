// MuPDF document access: owned handles, a memory-capped context, and the one place where
// MuPDF's fz_try/fz_catch becomes a core error.
#include "core/documents/pdf_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

#include "core/common/errors.h"
#include "core/common/utf8.h"
#include "core/documents/text_trim.h"

namespace mosswork::core::documents {
namespace {

// The stext flags of PyMuPDF's "text" extraction.
constexpr int kTextFlags = FZ_STEXT_PRESERVE_LIGATURES | FZ_STEXT_PRESERVE_WHITESPACE |
                           FZ_STEXT_MEDIABOX_CLIP
#if FZ_VERSION_MAJOR > 1 || FZ_VERSION_MINOR >= 23
                           | FZ_STEXT_USE_CID_FOR_UNKNOWN_UNICODE
#endif
    ;

// What one document may cost. MuPDF allocates through budget_malloc and reads the file through
// the stream below, and both refuse once a ceiling is reached: past the memory ceiling an
// allocation fails, past the deadline every allocation and read fails (MuPDF turns each into an
// error it throws, which reaches us as ParseError). The clock is read at every file read and
// every 64th allocation, which keeps coming: drawing a form or a glyph allocates, and every
// content stream is read from the file as it is interpreted.
struct Budget {
  std::size_t limit;
  std::chrono::steady_clock::time_point deadline;
  std::size_t used = 0;
  unsigned allocations = 0;
  bool expired = false;

  bool past_deadline() {
    if (!expired && std::chrono::steady_clock::now() >= deadline) expired = true;
    return expired;
  }
  // Cheap enough for every allocation.
  bool past_deadline_sampled() { return (++allocations & 63) == 0 ? past_deadline() : expired; }
};

// Each block carries its size in front of the part MuPDF sees, max_align_t apart.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* budget_malloc(void* user, std::size_t size) {
  auto* budget = static_cast<Budget*>(user);
  if (budget->past_deadline_sampled()) return nullptr;
  if (size > budget->limit - budget->used || size > SIZE_MAX - kHeader) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  budget->used += size;
  return block + kHeader;
}

void budget_free(void* user, void* ptr) {
  if (!ptr) return;
  auto* budget = static_cast<Budget*>(user);
  auto* block = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t size;
  std::memcpy(&size, block, sizeof size);
  budget->used -= size;
  std::free(block);
}

void* budget_realloc(void* user, void* old, std::size_t size) {
  if (!old) return budget_malloc(user, size);
  if (size == 0) {
    budget_free(user, old);
    return nullptr;
  }
  auto* budget = static_cast<Budget*>(user);
  if (budget->past_deadline_sampled()) return nullptr;
  auto* block = static_cast<unsigned char*>(old) - kHeader;
  std::size_t old_size;
  std::memcpy(&old_size, block, sizeof old_size);
  if (size > old_size && size - old_size > budget->limit - budget->used) return nullptr;
  if (size > SIZE_MAX - kHeader) return nullptr;
  auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kHeader));
  if (!grown) return nullptr;
  std::memcpy(grown, &size, sizeof size);
  budget->used = budget->used - old_size + size;
  return grown + kHeader;
}

// The document's file as a MuPDF stream, read as fz_open_file reads it, with the deadline
// checked before every read. The callbacks leave by MuPDF's longjmp and hold no C++ object.
struct FileStream {
  int fd;
  Budget* budget;
  unsigned char buffer[8192];
};

int next_file(fz_context* ctx, fz_stream* stm, std::size_t) {
  auto* state = static_cast<FileStream*>(stm->state);
  if (state->budget->past_deadline()) fz_throw(ctx, FZ_ERROR_ABORT, "time limit reached");
  ssize_t n;
  do {
    n = ::read(state->fd, state->buffer, sizeof state->buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0) fz_throw(ctx, FZ_ERROR_GENERIC, "read error: errno %d", errno);
  stm->rp = state->buffer;
  stm->wp = state->buffer + n;
  stm->pos += n;
  if (n == 0) return EOF;
  return *stm->rp++;
}

void seek_file(fz_context* ctx, fz_stream* stm, int64_t offset, int whence) {
  auto* state = static_cast<FileStream*>(stm->state);
  const off_t at = ::lseek(state->fd, static_cast<off_t>(offset), whence);
  if (at < 0) fz_throw(ctx, FZ_ERROR_GENERIC, "cannot seek: errno %d", errno);
  stm->pos = at;
  stm->rp = stm->wp = state->buffer;
}

void drop_file(fz_context*, void* user) {
  auto* state = static_cast<FileStream*>(user);
  ::close(state->fd);
  delete state;
}

void ignore_message(void*, const char*) {}

struct ContextDrop {
  void operator()(fz_context* ctx) const noexcept { fz_drop_context(ctx); }
};

// Opens documents and pages inside one capped context; every handle dies with its owner.
class Session {
 public:
  Session(const PdfTextOptions& options, std::string time_limit_text)
      : budget_(std::make_unique<Budget>(
            Budget{options.max_memory, std::chrono::steady_clock::now() + options.max_time})),
        time_limit_text_(std::move(time_limit_text)) {
    fz_alloc_context alloc{budget_.get(), budget_malloc, budget_realloc, budget_free};
    ctx_.reset(fz_new_context(&alloc, nullptr, options.max_store));
    if (!ctx_) throw ParseError("cannot create a MuPDF context");
    fz_set_warning_callback(ctx_.get(), ignore_message, nullptr);
    fz_set_error_callback(ctx_.get(), ignore_message, nullptr);
  }

  fz_context* ctx() const { return ctx_.get(); }

  // Runs MuPDF calls; an error MuPDF throws becomes ParseError, and so does the deadline passed
  // meanwhile (MuPDF skips the rest of a page that fails, so a page may end as if all was well).
  // `body` must hold no C++ object with a destructor: MuPDF leaves it by longjmp.
  void guarded(const std::function<void(fz_context*)>& body) const {
    fz_context* ctx = ctx_.get();
    bool failed = false;
    fz_try(ctx) { body(ctx); }
    fz_catch(ctx) { failed = true; }
    if (budget_->expired) throw ParseError(time_limit_text_);
    if (failed) throw ParseError(fz_caught_message(ctx));
  }

  void check_deadline() const {
    if (budget_->past_deadline()) throw ParseError(time_limit_text_);
  }

  // The file as a stream whose reads check the deadline.
  fz_stream* open_file(fz_context* c, int fd) const {
    auto* state = new (std::nothrow) FileStream{fd, budget_.get(), {}};
    if (!state) {
      ::close(fd);
      fz_throw(c, FZ_ERROR_MEMORY, "cannot allocate a file stream");
    }
    fz_stream* stream = fz_new_stream(c, state, next_file, drop_file);  // drops state on failure
    stream->seek = seek_file;
    return stream;
  }

 private:
  std::unique_ptr<Budget> budget_;  // outlives the context that allocates from it
  std::string time_limit_text_;
  std::unique_ptr<fz_context, ContextDrop> ctx_;
};

struct StreamDrop {
  fz_context* ctx;
  void operator()(fz_stream* stream) const noexcept { fz_drop_stream(ctx, stream); }
};

// Deleters that need the context the handle came from.
struct DocumentDrop {
  fz_context* ctx;
  void operator()(pdf_document* doc) const noexcept { fz_drop_document(ctx, &doc->super); }
};
struct PageDrop {
  fz_context* ctx;
  void operator()(pdf_page* page) const noexcept { fz_drop_page(ctx, &page->super); }
};
struct StextDrop {
  fz_context* ctx;
  void operator()(fz_stext_page* page) const noexcept { fz_drop_stext_page(ctx, page); }
};
using DocumentPtr = std::unique_ptr<pdf_document, DocumentDrop>;
using PagePtr = std::unique_ptr<pdf_page, PageDrop>;
using StextPtr = std::unique_ptr<fz_stext_page, StextDrop>;

bool overlaps(const fz_rect& a, const fz_rect& b) {
  return !(a.x0 >= b.x1 || a.y0 >= b.y1 || a.x1 <= b.x0 || a.y1 <= b.y0);
}

// One character the way PyMuPDF renders it into Python text.
void append_char(std::string& out, int c) {
  if (c < 0 || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) c = 0xfffd;
  core::append_utf8(out, static_cast<char32_t>(c));
}

void append_stext(std::string& out, const fz_stext_page* page) {
  const fz_rect box = page->mediabox;
  const bool unbounded = fz_is_infinite_rect(box);
  for (const fz_stext_block* block = page->first_block; block; block = block->next) {
    if (block->type != FZ_STEXT_BLOCK_TEXT) continue;
    for (const fz_stext_line* line = block->u.t.first_line; line; line = line->next) {
      int last = 0;
      for (const fz_stext_char* ch = line->first_char; ch; ch = ch->next) {
        fz_rect bbox = fz_rect_from_quad(ch->quad);
        // Vertical text gets at least one font size of height.
        if (line->wmode && bbox.y1 < bbox.y0 + ch->size) bbox.y0 = bbox.y1 - ch->size;
        if (!unbounded && !overlaps(box, bbox)) continue;
        last = ch->c;
        append_char(out, ch->c);
      }
      if (last != '\n' && last > 0) out.push_back('\n');
    }
  }
}

// Walks the document page by page; `visit` returns false to stop early.
void for_each_page_text(const std::string& path, const PdfTextOptions& options,
                        const std::function<bool(std::string&&)>& visit) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) throw_errno("cannot open", path);
  if (S_ISDIR(st.st_mode)) throw IoError(EISDIR, "cannot open", path);

  Session session(options, "text of " + path + " not read within " +
                               std::to_string(options.max_time.count()) + " ms");
  fz_context* ctx = session.ctx();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno("cannot open", path);
  std::unique_ptr<fz_stream, StreamDrop> file(nullptr, StreamDrop{ctx});
  session.guarded([&](fz_context* c) { file.reset(session.open_file(c, fd)); });
  DocumentPtr doc(nullptr, DocumentDrop{ctx});
  session.guarded([&](fz_context* c) { doc.reset(pdf_open_document_with_stream(c, file.get())); });
  file.reset();  // the document holds its own reference
  int pages = 0;
  session.guarded([&](fz_context* c) { pages = pdf_count_pages(c, doc.get()); });
  std::size_t total = 0;
  for (int number = 0; number < pages; ++number) {
    session.check_deadline();
    PagePtr page(nullptr, PageDrop{ctx});
    session.guarded([&](fz_context* c) { page.reset(pdf_load_page(c, doc.get(), number)); });
    StextPtr stext(nullptr, StextDrop{ctx});
    session.guarded([&](fz_context* c) {
      fz_stext_options stext_options;
      std::memset(&stext_options, 0, sizeof stext_options);
      stext_options.flags = kTextFlags;
      stext.reset(fz_new_stext_page_from_page(c, &page->super, &stext_options));
    });
    std::string text;
    append_stext(text, stext.get());
    total += text.size();
    if (total > options.max_text_bytes)
      throw ParseError("text of " + path + " exceeds " + std::to_string(options.max_text_bytes) +
                       " bytes");
    if (!visit(std::move(text))) return;
  }
}

}  // namespace

std::vector<std::string> read_pdf_page_texts(const std::string& path,
                                             const PdfTextOptions& options) {
  std::vector<std::string> texts;
  for_each_page_text(path, options, [&](std::string&& text) {
    texts.push_back(std::move(text));
    return true;
  });
  return texts;
}

std::string read_pdf_text(const std::string& path, const PdfTextOptions& options) {
  std::string all;
  for_each_page_text(path, options, [&](std::string&& text) {
    all += text;
    return true;
  });
  return strip_white_space(all);
}

bool is_scanned_pdf(const std::string& path, const PdfTextOptions& options) {
  bool scanned = true;
  for_each_page_text(path, options, [&](std::string&& text) {
    if (!text.empty()) scanned = false;
    return scanned;
  });
  return scanned;
}

}  // namespace mosswork::core::documents
