// Portable halves of the thread and synchronisation classes: each forwards to
// the platform object that its constructor (in the platform layer) created.

#include "NptThreads.h"

NPT_Thread::~NPT_Thread() { delete m_Delegate; }

NPT_Result NPT_Thread::Start() { return m_Delegate->Start(); }

NPT_Result NPT_Thread::Wait(NPT_Timeout timeout) { return m_Delegate->Wait(timeout); }

NPT_Result NPT_Thread::Interrupt() { return m_Delegate->Interrupt(); }

NPT_Mutex::~NPT_Mutex() { delete m_Delegate; }

NPT_Result NPT_Mutex::Lock() { return m_Delegate->Lock(); }

NPT_Result NPT_Mutex::Unlock() { return m_Delegate->Unlock(); }

NPT_SharedVariable::~NPT_SharedVariable() { delete m_Delegate; }

void NPT_SharedVariable::SetValue(int value) { m_Delegate->SetValue(value); }

int NPT_SharedVariable::GetValue() { return m_Delegate->GetValue(); }

NPT_Result NPT_SharedVariable::WaitUntilEquals(int value, NPT_Timeout timeout) {
  return m_Delegate->WaitUntilEquals(value, timeout);
}

NPT_Result NPT_SharedVariable::WaitWhileEquals(int value, NPT_Timeout timeout) {
  return m_Delegate->WaitWhileEquals(value, timeout);
}

NPT_AtomicVariable::~NPT_AtomicVariable() { delete m_Delegate; }

int NPT_AtomicVariable::Increment() { return m_Delegate->Increment(); }

int NPT_AtomicVariable::Decrement() { return m_Delegate->Decrement(); }

int NPT_AtomicVariable::GetValue() { return m_Delegate->GetValue(); }

void NPT_AtomicVariable::SetValue(int value) { m_Delegate->SetValue(value); }
