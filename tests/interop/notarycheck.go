// notarycheck checks vorm_zel_audit's checkpoints and proofs with Go's
// golang.org/x/mod/sumdb/note and golang.org/x/mod/sumdb/tlog, and makes
// notes and proofs for the Python side to check. One JSON request on
// standard input, one JSON answer on standard output.
//
//	notarycheck verify < {"verifier_key", "notes", "inclusion", "consistency"}
//	notarycheck make   < {"signer_key", "origin", "entries", "inclusion", "consistency"}
package main

import (
	"encoding/json"
	"fmt"
	"os"
	"strconv"
	"strings"

	"golang.org/x/mod/sumdb/note"
	"golang.org/x/mod/sumdb/tlog"
)

type inclusion struct {
	Entry    []byte   `json:"entry"`
	Index    int64    `json:"index"`
	TreeSize int64    `json:"tree_size"`
	Root     string   `json:"root"`
	Proof    []string `json:"proof"`
}

type consistency struct {
	OldSize  int64    `json:"old_size"`
	OldRoot  string   `json:"old_root"`
	TreeSize int64    `json:"tree_size"`
	Root     string   `json:"root"`
	Proof    []string `json:"proof"`
}

type verifyRequest struct {
	VerifierKey string        `json:"verifier_key"`
	Notes       []string      `json:"notes"`
	Inclusion   []inclusion   `json:"inclusion"`
	Consistency []consistency `json:"consistency"`
}

type outcome struct {
	OK    bool   `json:"ok"`
	Error string `json:"error,omitempty"`
	Text  string `json:"text,omitempty"`
}

func result(err error) outcome {
	if err != nil {
		return outcome{Error: err.Error()}
	}
	return outcome{OK: true}
}

func parseHashes(values []string) ([]tlog.Hash, error) {
	out := make([]tlog.Hash, len(values))
	for i, value := range values {
		h, err := tlog.ParseHash(value)
		if err != nil {
			return nil, err
		}
		out[i] = h
	}
	return out, nil
}

// openCheckpoint opens a signed note and parses its checkpoint text: origin,
// size, base64 root (tlog.ParseTree accepts only the Go checksum database's
// origin line, so the size and root are parsed here).
func openCheckpoint(msg string, verifiers note.Verifiers) (outcome, error) {
	n, err := note.Open([]byte(msg), verifiers)
	if err != nil {
		return outcome{}, err
	}
	lines := strings.Split(n.Text, "\n")
	if len(lines) < 4 {
		return outcome{}, fmt.Errorf("checkpoint text has %d lines", len(lines))
	}
	size, err := strconv.ParseInt(lines[1], 10, 64)
	if err != nil || size < 0 || strconv.FormatInt(size, 10) != lines[1] {
		return outcome{}, fmt.Errorf("bad tree size %q", lines[1])
	}
	if _, err := tlog.ParseHash(lines[2]); err != nil {
		return outcome{}, err
	}
	return outcome{OK: true, Text: n.Text}, nil
}

func verify(req verifyRequest) map[string][]outcome {
	out := map[string][]outcome{"notes": {}, "inclusion": {}, "consistency": {}}
	verifier, err := note.NewVerifier(req.VerifierKey)
	if err != nil {
		fmt.Fprintln(os.Stderr, "verifier key:", err)
		os.Exit(2)
	}
	verifiers := note.VerifierList(verifier)
	for _, msg := range req.Notes {
		o, err := openCheckpoint(msg, verifiers)
		if err != nil {
			o = result(err)
		}
		out["notes"] = append(out["notes"], o)
	}
	for _, c := range req.Inclusion {
		err := func() error {
			proof, err := parseHashes(c.Proof)
			if err != nil {
				return err
			}
			root, err := tlog.ParseHash(c.Root)
			if err != nil {
				return err
			}
			return tlog.CheckRecord(proof, c.TreeSize, root, c.Index, tlog.RecordHash(c.Entry))
		}()
		out["inclusion"] = append(out["inclusion"], result(err))
	}
	for _, c := range req.Consistency {
		err := func() error {
			proof, err := parseHashes(c.Proof)
			if err != nil {
				return err
			}
			oldRoot, err := tlog.ParseHash(c.OldRoot)
			if err != nil {
				return err
			}
			root, err := tlog.ParseHash(c.Root)
			if err != nil {
				return err
			}
			return tlog.CheckTree(proof, c.TreeSize, root, c.OldSize, oldRoot)
		}()
		out["consistency"] = append(out["consistency"], result(err))
	}
	return out
}

type makeRequest struct {
	SignerKey   string     `json:"signer_key"`
	Origin      string     `json:"origin"`
	Entries     [][]byte   `json:"entries"`
	Sizes       []int64    `json:"sizes"`
	Inclusion   [][2]int64 `json:"inclusion"`   // (index, tree size)
	Consistency [][2]int64 `json:"consistency"` // (old size, tree size)
}

func hashes(list []string, proof []tlog.Hash) []string {
	for _, h := range proof {
		list = append(list, h.String())
	}
	return list
}

func make_(req makeRequest) (map[string]interface{}, error) {
	var stored []tlog.Hash
	reader := tlog.HashReaderFunc(func(indexes []int64) ([]tlog.Hash, error) {
		out := make([]tlog.Hash, len(indexes))
		for i, index := range indexes {
			out[i] = stored[index]
		}
		return out, nil
	})
	for i, entry := range req.Entries {
		more, err := tlog.StoredHashes(int64(i), entry, reader)
		if err != nil {
			return nil, err
		}
		stored = append(stored, more...)
	}
	signer, err := note.NewSigner(req.SignerKey)
	if err != nil {
		return nil, err
	}
	notes := map[string]string{}
	roots := map[string]string{}
	for _, size := range req.Sizes {
		root, err := tlog.TreeHash(size, reader)
		if err != nil {
			return nil, err
		}
		msg, err := note.Sign(&note.Note{Text: fmt.Sprintf("%s\n%d\n%s\n", req.Origin, size, root)}, signer)
		if err != nil {
			return nil, err
		}
		key := strconv.FormatInt(size, 10)
		notes[key] = string(msg)
		roots[key] = root.String()
	}
	var inclusions, consistencies []map[string]interface{}
	for _, pair := range req.Inclusion {
		proof, err := tlog.ProveRecord(pair[1], pair[0], reader)
		if err != nil {
			return nil, err
		}
		inclusions = append(inclusions, map[string]interface{}{"index": pair[0], "tree_size": pair[1],
			"proof": hashes([]string{}, proof)})
	}
	for _, pair := range req.Consistency {
		proof, err := tlog.ProveTree(pair[1], pair[0], reader)
		if err != nil {
			return nil, err
		}
		consistencies = append(consistencies, map[string]interface{}{"old_size": pair[0], "tree_size": pair[1],
			"proof": hashes([]string{}, proof)})
	}
	return map[string]interface{}{"notes": notes, "roots": roots, "inclusion": inclusions,
		"consistency": consistencies}, nil
}

func main() {
	if len(os.Args) != 2 {
		fmt.Fprintln(os.Stderr, "usage: notarycheck verify|make < request.json")
		os.Exit(2)
	}
	decoder := json.NewDecoder(os.Stdin)
	var answer interface{}
	switch os.Args[1] {
	case "verify":
		var req verifyRequest
		if err := decoder.Decode(&req); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(2)
		}
		answer = verify(req)
	case "make":
		var req makeRequest
		if err := decoder.Decode(&req); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(2)
		}
		made, err := make_(req)
		if err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(2)
		}
		answer = made
	default:
		fmt.Fprintln(os.Stderr, "unknown command", os.Args[1])
		os.Exit(2)
	}
	if err := json.NewEncoder(os.Stdout).Encode(answer); err != nil {
		os.Exit(2)
	}
}
