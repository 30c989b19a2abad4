// Descriptors 0, 1 and 2 must be open before the process opens anything
// else. Started with one of them closed, the next descriptor opened (the
// first accepted client socket, say) would take its number, and the console
// written to descriptor 1 would go to that client.

#ifndef GMI_STANDARD_DESCRIPTORS_H_
#define GMI_STANDARD_DESCRIPTORS_H_

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. False
// if one could not be opened: the process must not go on.
bool keep_standard_descriptors_open();

#endif  // GMI_STANDARD_DESCRIPTORS_H_
