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

}  // namespace kor
