// zub_feedback: building blocks for beam-based feedback servers.
//
// MDFA_ResponseMatrix  a response matrix (one row per beam monitor, one column
//                      per actuator) that is also a float array property:
//                      loading from text files, truncated-SVD inversion with a
//                      published singular-value spectrum, pseudo-inverse,
//                      products and transposition.
// K_ringbuf            a string property keeping the newest messages of a
//                      server, each with its time, newest first.
// The chicane physics functions are declared in chicane_physics.h.
#ifndef ZUB_FEEDBACK_H
#define ZUB_FEEDBACK_H

#include <gsl/gsl_matrix.h>

#include <armadillo>

#include "karst.h"
#include "zub_feedback_export.h"   // ZUB_FEEDBACK_API
#include "zub_feedback_version.h"  // ZUB_FEEDBACK_VERSION_MAJOR, ...

namespace zub_feedback {

// The levels at which the library logs through karst::printtostderr, a
// single bit for each kind of message, for a host's log sink to tell them
// apart.
constexpr unsigned kLevelError = 0x80000000u;  // "ERROR: ...": nothing changed
constexpr unsigned kLevelInfo = 0x80u;  // "INFO: ...", and pinv's "removed ..."
constexpr unsigned kLevelTiming = 0x8u;  // "took (ms): ...", last of a call

}  // namespace zub_feedback

class ZUB_FEEDBACK_API MDFA_ResponseMatrix : public K_mdfloat_array {
 public:
  // Number of rows (monitors) and columns (actuators); element (i, j) is
  // read with value(i, j, -1, -1, -1, -1) and written with set_value.
  int rows;
  int cols;

  // `pn` must not be null (std::logic_error). d1 rows, d0 columns.
  MDFA_ResponseMatrix(const char* pn, int d1, int d0, EqFct* efp);
  MDFA_ResponseMatrix(const MDFA_ResponseMatrix&) = delete;
  ~MDFA_ResponseMatrix() override;

  // Copies values and shape; the target keeps its own property state
  // (name, error code, permission).
  MDFA_ResponseMatrix& operator=(MDFA_ResponseMatrix& rhs);
  // Same shape and exactly equal elements (a NaN is unequal to itself).
  bool operator==(const MDFA_ResponseMatrix& rhs) const;
  bool operator!=(const MDFA_ResponseMatrix& rhs) const;

  // Writes val into every element.
  void init(float val);

  // A rows x cols double copy of A (the object called on plays no part).
  arma::mat MDFA2arma_mat(MDFA_ResponseMatrix& A);
  // Writes the leading rows x cols block of A into this matrix; A smaller
  // than that is reported and nothing is written. Returns this.
  MDFA_ResponseMatrix* arma_mat2MDFA(arma::mat A);

  // B = this x A, formed in double precision. Shapes that do not fit are
  // reported and leave B unchanged. B may be this or A.
  void multiply(MDFA_ResponseMatrix& A, MDFA_ResponseMatrix& B);
  // B(i, j) = this(i, j) x A(i, j) in single precision; B may be this or A.
  void entrywise_product(MDFA_ResponseMatrix& A, MDFA_ResponseMatrix& B);
  // transR = transpose of this; transR must be cols x rows.
  void transpose(MDFA_ResponseMatrix& transR);

  // Fills the matrix from a text file of one line of numbers per monitor;
  // lines starting with '#' are comments. False, with the matrix unchanged,
  // when the file cannot be read or its shape is not rows x cols.
  bool load_file(const char* fname);

  // Truncated-SVD inverse into pinvR (cols x rows). The singular values go
  // to singular_val, the number kept to *nosv. *tol == -1 asks for the
  // internal tolerance, which is then stored back into *tol.
  void invert(MDFA_ResponseMatrix& pinvR, K_spectrum& singular_val, float* tol,
              int* nosv);
  // Moore-Penrose pseudo-inverse into pinvR (cols x rows) through Armadillo;
  // input elements with 0 < |a| < *tolerance are zeroed first.
  void pinv(MDFA_ResponseMatrix& pinvR, float* tolerance);

 private:
  // A new rows x cols GSL copy that the caller frees with gsl_matrix_free;
  // nullptr (reported) when the array is not two-dimensional.
  gsl_matrix* create_gsl_matrix();
};

// A string property that keeps the `size` newest messages, newest first,
// each stamped with KARSTtime() when it was stored. A remote read without
// data, or with a negative index, gets the whole buffer; one with index i
// gets entry i alone, or no entry when i is beyond the buffer.
class ZUB_FEEDBACK_API K_ringbuf : public K_ustr {
 public:
  // `str` must not be null (std::logic_error).
  K_ringbuf(const char* str, int size, EqFct* ep);
  K_ringbuf(const K_ringbuf&) = delete;
  K_ringbuf& operator=(const K_ringbuf&) = delete;
  ~K_ringbuf() override;

  // Adds `str` as the newest entry; the oldest is dropped. A null `str`
  // throws std::logic_error and leaves the entries unchanged.
  void store(const char* str);

  void get(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  // A remote write is accepted and changes nothing.
  void set(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  void read() override;
  void write(std::ostream& os) override;
  void config(Config* cfg);

 private:
  EqData ringbuf;
};

#endif  // ZUB_FEEDBACK_H
