#include "os/objstore/s3_reply.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

namespace kor {
namespace {

struct DocFree {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

Doc ReadDocument(const std::string &body) {
  // The parser's globals are set up once, before threads use it at once.
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (body.empty() || body.size() > INT_MAX) return nullptr;
  // No network, no entity substitution or DTD loading, no messages on
  // standard error.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR |
                      XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;
  return Doc(xmlReadMemory(body.data(), static_cast<int>(body.size()),
                           "reply.xml", nullptr, options));
}

bool Named(const xmlNode *node, const char *name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

// The root element when it is called `name`.
const xmlNode *Root(const Doc &doc, const char *name) {
  if (!doc) return nullptr;
  const xmlNode *root = xmlDocGetRootElement(doc.get());
  return Named(root, name) ? root : nullptr;
}

// The text of the first child element `name` of `parent`, or false.
bool ChildText(const xmlNode *parent, const char *name, std::string *text) {
  for (const xmlNode *child = parent->children; child != nullptr;
       child = child->next) {
    if (!Named(child, name)) continue;
    xmlChar *content = xmlNodeGetContent(child);
    text->assign(content != nullptr ? reinterpret_cast<char *>(content) : "");
    xmlFree(content);
    return true;
  }
  return false;
}

// `text` as a whole decimal number.
bool ParseSize(const std::string &text, uint64_t *size) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *size = n;
  return true;
}

}  // namespace

bool ParseErrorReply(const std::string &body, S3ErrorReply *reply) {
  const Doc doc = ReadDocument(body);
  const xmlNode *root = Root(doc, "Error");
  if (root == nullptr) return false;
  reply->code.clear();
  reply->message.clear();
  ChildText(root, "Code", &reply->code);
  ChildText(root, "Message", &reply->message);
  return true;
}

bool ParseUploadId(const std::string &body, std::string *upload_id) {
  const Doc doc = ReadDocument(body);
  const xmlNode *root = Root(doc, "InitiateMultipartUploadResult");
  return root != nullptr && ChildText(root, "UploadId", upload_id) &&
         !upload_id->empty();
}

bool IsCompleteResult(const std::string &body) {
  const Doc doc = ReadDocument(body);
  return Root(doc, "CompleteMultipartUploadResult") != nullptr;
}

bool ParseListReply(const std::string &body, S3ListPage *page) {
  const Doc doc = ReadDocument(body);
  const xmlNode *root = Root(doc, "ListBucketResult");
  if (root == nullptr) return false;
  *page = S3ListPage();
  for (const xmlNode *child = root->children; child != nullptr;
       child = child->next) {
    if (!Named(child, "Contents")) continue;
    S3ListedObject object;
    std::string size;
    if (!ChildText(child, "Key", &object.key) || object.key.empty() ||
        !ChildText(child, "Size", &size) || !ParseSize(size, &object.size))
      return false;
    page->objects.push_back(std::move(object));
  }
  std::string truncated;
  page->truncated = ChildText(root, "IsTruncated", &truncated) &&
                    truncated == "true";
  if (page->truncated &&
      (!ChildText(root, "NextContinuationToken", &page->next_token) ||
       page->next_token.empty()))
    return false;
  return true;
}

}  // namespace kor
